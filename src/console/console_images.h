// The pictures of the toolbar, the group bar and the tray icon, drawn at
// run time so the program ships no image files.
#pragma once

#include <QIcon>
#include <QString>

namespace corvan {

// The server state images of the toolbar: 0 start (stopped), 1 start
// (running), 2 stop (stopped), 3 stop (running), 4 status (stopped),
// 5 status (running).
QIcon ServerStateImage(int index);
// A command picture: a coloured tile with one character on it.
QIcon CommandImage(const QString& glyph, const QColor& color);
// The tray icon's picture (image 3 of the tree's image list: the server).
QIcon TrayImage();

}  // namespace corvan
