#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeView>
#include <deque>
#include <thread>

#include "admin/admin_commands.h"
#include "app/modules_default.h"
#include "console/department_dialogs.h"
#include "console/main_window.h"
#include "console/prompter.h"
#include "console/user_editor.h"
#include "console/user_rows.h"
#include "server/server_core.h"
#include "support/test_server.h"

namespace corvan {
namespace {

// Records every message and answers questions from a queue (yes when empty).
class FakePrompter : public Prompter {
 public:
  void Information(QWidget*, const QString& text, const QString& caption) override {
    messages.push_back((caption + "|" + text).toStdString());
  }
  bool Question(QWidget*, const QString& text, const QString& caption) override {
    questions.push_back((caption + "|" + text).toStdString());
    if (answers.empty()) return true;
    bool a = answers.front();
    answers.pop_front();
    return a;
  }
  std::optional<QString> GetText(QWidget*, const QString&, const QString&, const QString&) override { return {}; }
  std::optional<QString> OpenFile(QWidget*, const QString&, const QString&) override { return {}; }
  std::optional<QString> SaveFile(QWidget*, const QString&, const QString&) override { return {}; }

  std::vector<std::string> messages;
  std::vector<std::string> questions;
  std::deque<bool> answers;
};

std::string Text(const QModelIndex& index) { return index.data().toString().toStdString(); }

// A list's texts of one column, top to bottom.
std::vector<std::string> Column(const QTreeView* list, int column) {
  std::vector<std::string> out;
  for (int i = 0; i < list->model()->rowCount(); ++i) out.push_back(Text(list->model()->index(i, column)));
  return out;
}

// The login names of a list's selected rows, top to bottom.
std::vector<std::string> Selected(const QTreeView* list) {
  std::vector<std::string> out;
  for (int i = 0; i < list->model()->rowCount(); ++i)
    if (list->selectionModel()->isRowSelected(i, {})) out.push_back(Text(list->model()->index(i, 1)));
  return out;
}

QPlainTextEdit* Log(QWidget& window) { return window.findChild<QPlainTextEdit*>("Memostatus"); }

// A dialog's control, found by its object name.
template <class T>
T* Field(QWidget& dialog, const char* name) {
  T* field = dialog.findChild<T*>(QString::fromLatin1(name));
  EXPECT_TRUE(field) << name;
  return field;
}
QLineEdit* Edit(QWidget& dialog, const char* name) { return Field<QLineEdit>(dialog, name); }
QComboBox* OrgChoice(QWidget& dialog) { return Field<QComboBox>(dialog, "cmborg"); }
void PressOk(QWidget& dialog) { Field<QPushButton>(dialog, "Rzbtnok")->click(); }

// A console on a data folder holding departments A (with child B) and C
// under the root "Acme", the seeded "001", and a few accounts.
class ConsoleTest : public ::testing::Test {
 protected:
  ConsoleTest() : core_(Options()) {}

  CoreOptions Options() {
    CoreOptions o;
    o.home = home_.Path();
    UseDefaultWiring(o);
    return o;
  }

  void SetUp() override {
    ASSERT_TRUE(core_.Lifecycle().OpenDatabase().IsOk());
    Exec(
        "insert into organize values('Root','Acme','',0);"
        "insert into organize values('001','未分组','Root',100);"
        "insert into organize values('Root001001','B','Root001',1);"
        "insert into organize values('Root001','A','Root',10);"
        "insert into organize values('Root002','C','Root',5)");
    AddAccount("ANN", "Root001", 9);
    AddAccount("bob", "Root001001", 100);
    AddAccount("Cid", "Root002", 50);
    AddAccount("DAN", "Root001", 3);
    AddAccount("EVE", "Root001", 7);
    AddAccount("SEED", "001", 1);
    window_ = std::make_unique<MainWindow>(core_, prompter_);
    ASSERT_TRUE(window_->FirstShow(false));
  }

  void Exec(std::string_view sql) {
    DatabaseLock lock(core_.Db());
    core_.Db().Exec(sql);
  }
  std::int64_t Count(std::string_view sql) {
    DatabaseLock lock(core_.Db());
    Statement st(core_.Db(), sql);
    st.Step();
    return st.ColumnInt64(0);
  }
  void AddAccount(const std::string& name, const std::string& org, int id) {
    Exec("insert into authreg(username,pwd,nickname,organizeNo,USERID) values('" + name + "','pw','n" + name + "','" +
         org + "'," + std::to_string(id) + ");insert into vcard(username,organizeNo,nickname) values('" + name + "','" +
         org + "','n" + name + "')");
  }
  MainWindow& W() { return *window_; }
  QModelIndex Node(const std::string& code) { return W().FindOrgNode(code); }
  // Controls are found by their object names.
  template <class T>
  T* Child(const char* name) {
    T* child = W().findChild<T*>(QString::fromLatin1(name));
    EXPECT_TRUE(child) << name;
    return child;
  }
  QTreeView* Tree() { return Child<QTreeView>("RzTvworg"); }
  QTreeView* UserList() { return Child<QTreeView>("Rzlvwuserlist"); }
  QTreeView* OrgUserList() { return Child<QTreeView>("Rzlvwuser"); }
  QTabWidget* Pages() { return Child<QTabWidget>("Rzpagectrl"); }
  QWidget* Page(const char* name) { return Child<QWidget>(name); }
  QAction* Action(const char* name) { return Child<QAction>(name); }
  UserEditor* Editor() { return Child<UserEditor>("Tfrmuser"); }
  void Select(QTreeView* list, const std::vector<std::string>& names) {
    list->clearSelection();
    for (int i = 0; i < list->model()->rowCount(); ++i)
      for (const auto& n : names)
        if (Text(list->model()->index(i, 1)) == n)
          list->selectionModel()->select(list->model()->index(i, 0),
                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  // Runs the next modal dialog with `fill`, which fills it and presses OK.
  void OnDialog(std::function<void(QDialog&)> fill) {
    W().ExecDialog = [fill](QDialog& d) {
      fill(d);
      return d.result();
    };
  }

  test::TempDir home_;
  ServerCore core_;
  FakePrompter prompter_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(ConsoleTest, ControlsCarryTheirNamesAndCaptions) {
  for (const char* name : {"Rzpagectrl", "Tabmanageuser", "Tabmanageorg", "Tabstatus", "Memostatus", "RzTvworg",
                           "Rzlvwuser", "Rzlvwuserlist", "poporg", "poporguser", "poplvwuser", "Tfrmuser", "Tfrmneworg",
                           "Tfrmorgrename", "edtloginname", "cmborg", "Memodesc", "Tabbasic"})
    EXPECT_TRUE(W().findChild<QObject*>(name)) << name;
  for (const char* name : {"poplvwusernew", "poplvwuserupdate", "poplvwuserdelete", "poporgusernew", "poporguserupdate",
                           "poporguserdelete", "poporgnew", "poporgrename", "poporgdelete", "poporgnewuser",
                           "Nmanageuser", "Nmanageorg", "Nserverstatus"})
    EXPECT_TRUE(W().findChild<QAction*>(name)) << name;
  EXPECT_FALSE(Pages()->tabBar()->isVisibleTo(&W()));
  EXPECT_EQ(Pages()->currentWidget(), Page("Tabstatus"));
  for (QTreeView* list : {UserList(), OrgUserList()}) {
    auto header = [&](int c) { return list->model()->headerData(c, Qt::Horizontal).toString(); };
    EXPECT_EQ(header(0), "显示编序");
    EXPECT_EQ(header(1), "登录名");
    EXPECT_EQ(header(2), "显示名称");
    EXPECT_EQ(header(3), "组织");
  }
  EXPECT_EQ(Edit(*Editor(), "edtloginname")->maxLength(), 30);
  EXPECT_EQ(Edit(*Editor(), "edtcompany")->maxLength(), 50);
  EXPECT_EQ(Edit(*Editor(), "edtloginpwd")->echoMode(), QLineEdit::Password);
}

TEST_F(ConsoleTest, TreeShowsDepartmentsUnderParentsByDisplayOrderAndListsByPrefix) {
  QTreeView* tree = Tree();
  ASSERT_EQ(tree->model()->rowCount(), 1);
  QModelIndex root = tree->model()->index(0, 0);
  auto child = [](const QModelIndex& parent, int row) { return parent.model()->index(row, 0, parent); };
  EXPECT_EQ(Text(root), "Acme");
  ASSERT_EQ(tree->model()->rowCount(root), 3);
  EXPECT_EQ(Text(child(root, 0)), "C");  // order 5
  EXPECT_EQ(Text(child(root, 1)), "A");  // order 10
  EXPECT_EQ(Text(child(child(root, 1), 0)), "B");
  EXPECT_EQ(Text(child(root, 2)), "未分组");

  tree->setCurrentIndex(root);  // the change event fills the list
  EXPECT_EQ(W().CurrentOrgNode, "Root");
  EXPECT_EQ(Column(OrgUserList(), 1), (std::vector<std::string>{"DAN", "EVE", "ANN", "CID", "BOB"}));
  tree->setCurrentIndex(Node("Root001"));
  EXPECT_EQ(Column(OrgUserList(), 1), (std::vector<std::string>{"DAN", "EVE", "ANN", "BOB"}));
  EXPECT_EQ(Column(OrgUserList(), 3), (std::vector<std::string>{"A", "A", "A", "A\\B"}));

  // A right click on empty space empties the list and leaves no current node.
  W().OrgTreePressed({}, Qt::RightButton);
  EXPECT_EQ(OrgUserList()->model()->rowCount(), 0);
  W().UpdateOrgMenu();
  EXPECT_FALSE(Action("poporgnew")->isEnabled());
  EXPECT_FALSE(Action("poporgrename")->isEnabled());
  // The root can be renamed and given departments, not deleted.
  W().OrgTreePressed(root, Qt::RightButton);
  W().UpdateOrgMenu();
  EXPECT_TRUE(Action("poporgnew")->isEnabled());
  EXPECT_TRUE(Action("poporgrename")->isEnabled());
  EXPECT_FALSE(Action("poporgdelete")->isEnabled());
  EXPECT_FALSE(Action("poporgnewuser")->isEnabled());
  W().OrgTreePressed(Node("Root002"), Qt::RightButton);
  EXPECT_EQ(W().CurrentOrgNode, "Root002");
  W().UpdateOrgMenu();
  EXPECT_TRUE(Action("poporgdelete")->isEnabled());
}

TEST_F(ConsoleTest, HeaderClicksFlipOneFlagForAllColumns) {
  W().ShowUsersPage();
  EXPECT_EQ(Pages()->currentWidget(), Page("Tabmanageuser"));
  QTreeView* list = UserList();
  EXPECT_EQ(Column(list, 0), (std::vector<std::string>{"1", "3", "7", "9", "50", "100"}));
  W().SortAllUsersByColumn(1);  // login name, descending
  EXPECT_EQ(Column(list, 1), (std::vector<std::string>{"SEED", "EVE", "DAN", "CID", "BOB", "ANN"}));
  W().SortAllUsersByColumn(1);  // ascending
  EXPECT_EQ(Column(list, 1), (std::vector<std::string>{"ANN", "BOB", "CID", "DAN", "EVE", "SEED"}));
  W().SortAllUsersByColumn(0);  // numeric, descending: 100 before 9
  EXPECT_EQ(Column(list, 0), (std::vector<std::string>{"100", "50", "9", "7", "3", "1"}));
  // A fill resets to column 0 ascending.
  W().ShowAllUsers();
  EXPECT_EQ(W().AllUserSort.column, 0);
  EXPECT_TRUE(W().AllUserSort.ascending);
}

TEST_F(ConsoleTest, ChineseNamesAndPathsSortInGbkOrderBothWays) {
  Exec(
      "insert into organize values('Root003','张部','Root',20);"
      "insert into organize values('Root004','李部','Root',21);"
      "insert into organize values('Root005','王部','Root',22)");
  AddAccount("ZS", "Root003", 1000);
  AddAccount("LS", "Root004", 1001);
  AddAccount("WW", "Root005", 1002);
  Exec(
      "update authreg set nickname = case username when 'ZS' then '张三' when 'LS' then '李四' else '王五' end "
      "where username in ('ZS','LS','WW')");
  ASSERT_TRUE(core_.Lifecycle().LoadDirectory());
  W().BuildOrgTree();
  W().ShowUsersPage();
  // The three accounts' texts in a column, in list order.
  const std::vector<std::string> ours = {"张三", "李四", "王五", "张部", "李部", "王部"};
  auto chinese = [&](int column, QTreeView* list) {
    std::vector<std::string> out;
    for (const std::string& text : Column(list, column))
      if (std::count(ours.begin(), ours.end(), text)) out.push_back(text);
    return out;
  };
  W().SortAllUsersByColumn(2);  // display name, descending
  EXPECT_EQ(chinese(2, UserList()), (std::vector<std::string>{"张三", "王五", "李四"}));
  W().SortAllUsersByColumn(2);  // ascending
  EXPECT_EQ(chinese(2, UserList()), (std::vector<std::string>{"李四", "王五", "张三"}));
  W().SortAllUsersByColumn(3);  // department path, descending
  EXPECT_EQ(chinese(3, UserList()), (std::vector<std::string>{"张部", "王部", "李部"}));
  W().SortAllUsersByColumn(3);  // ascending
  EXPECT_EQ(chinese(3, UserList()), (std::vector<std::string>{"李部", "王部", "张部"}));
  // The organisation page's list sorts the same way.
  Tree()->setCurrentIndex(Node("Root"));
  W().SortOrgUsersByColumn(2);
  W().SortOrgUsersByColumn(2);
  EXPECT_EQ(chinese(2, OrgUserList()), (std::vector<std::string>{"李四", "王五", "张三"}));
}

TEST_F(ConsoleTest, ChangesMadeElsewhereReachTheViewsKeepingSortAndSelection) {
  W().ShowUsersPage();
  Tree()->setCurrentIndex(Node("Root001"));
  W().SortAllUsersByColumn(1);  // login name, descending
  Select(UserList(), {"EVE"});
  Select(OrgUserList(), {"DAN"});

  // Nothing changed: nothing is rebuilt.
  int resets = 0;
  for (QTreeView* view : {Tree(), UserList(), OrgUserList()})
    QObject::connect(view->model(), &QAbstractItemModel::modelReset, [&] { ++resets; });
  W().FollowDirectory();
  EXPECT_EQ(resets, 0);

  // The command-line tool adds a department and an account in it, renames
  // a department and deletes an account.
  auto run = [&](std::vector<std::string> argv) {
    AdminReply r = RunAdminCommand(core_, argv, AdminContext{});
    ASSERT_EQ(r.exitCode, 0) << r.message;
  };
  run({"org", "add", "Root001", "D", "--order", "3"});
  std::string d;
  for (const auto& org : core_.Dir().Get()->Orgs())
    if (org->organizename == "D") d = org->organizeNo;
  ASSERT_FALSE(d.empty());
  run({"user", "add", "FAY", "--pwd", "p", "--nick", "Fay", "--org", d});
  run({"org", "rename", "Root001", "A2", "--order", "10"});
  run({"user", "del", "ANN", "--yes"});
  // The directory tells the window, which follows on its own thread.
  QApplication::processEvents();

  ASSERT_TRUE(Node(d).isValid());
  EXPECT_EQ(Text(Node(d)), "D");
  EXPECT_EQ(Text(Node("Root001")), "A2");
  EXPECT_EQ(Tree()->currentIndex(), Node("Root001"));
  EXPECT_EQ(Column(UserList(), 1), (std::vector<std::string>{"SEED", "FAY", "EVE", "DAN", "CID", "BOB"}));
  EXPECT_FALSE(W().AllUserSort.ascending);
  EXPECT_EQ(Column(OrgUserList(), 1), (std::vector<std::string>{"DAN", "EVE", "BOB", "FAY"}));
  EXPECT_EQ(Selected(UserList()), (std::vector<std::string>{"EVE"}));
  EXPECT_EQ(Selected(OrgUserList()), (std::vector<std::string>{"DAN"}));
  // Rows show the new department name.
  EXPECT_EQ(Column(OrgUserList(), 3), (std::vector<std::string>{"A2", "A2", "A2\\B", "A2\\D"}));

  // The current department deleted by another thread: no current node,
  // empty list.
  std::thread other([&] { run({"org", "del", "Root001", "--yes"}); });
  other.join();
  QApplication::processEvents();
  EXPECT_FALSE(Node("Root001").isValid());
  EXPECT_EQ(OrgUserList()->model()->rowCount(), 0);
  EXPECT_FALSE(W().CurrentOrgNode.has_value());
  EXPECT_EQ(Column(UserList(), 1), (std::vector<std::string>{"SEED", "CID"}));
}

TEST(UserRowsTest, TextKeysAreGbkBytesWithAsciiLettersFolded) {
  EXPECT_EQ(TextSortKey("abc"), TextSortKey("ABC"));
  EXPECT_LT(TextSortKey("abc"), TextSortKey("ABD"));
  EXPECT_LT(TextSortKey("ab"), TextSortKey("abc"));
  EXPECT_GT(TextSortKey("Z"), TextSortKey("a"));
  // GBK order: 李 (C0EE) < 王 (CDF5) < 张 (D5C5), unlike code points.
  EXPECT_LT(TextSortKey("李四"), TextSortKey("王五"));
  EXPECT_LT(TextSortKey("王五"), TextSortKey("张三"));
  EXPECT_LT(TextSortKey("Zed"), TextSortKey("李四"));  // ASCII before double-byte
  // A trail byte in the letter range is not folded: 丄 is 81 41 ('A'),
  // and 乤 81 61 ('a') must not become equal to it.
  EXPECT_EQ(TextSortKey("\u4E04"), "\x81\x41");
  EXPECT_NE(TextSortKey("\u4E04"), TextSortKey("\u4E64"));
  // A character GBK lacks sorts as '?'.
  EXPECT_EQ(TextSortKey("\U0001F600").front(), '?');
}

TEST_F(ConsoleTest, DroppingRowsOnADepartmentAsksThenMovesThemInBothTables) {
  Tree()->setCurrentIndex(Node("Root001"));
  Select(OrgUserList(), {"DAN", "ANN"});
  prompter_.answers = {false};
  W().DropUsersOnOrg(Node("Root002"));
  ASSERT_EQ(prompter_.questions.size(), 1u);
  EXPECT_EQ(prompter_.questions[0], "信息|是否要将这2个用户加入到C下？");
  EXPECT_EQ(Count("select count(*) from authreg where organizeNo='Root002'"), 1);

  Tree()->setCurrentIndex(Node("Root001"));
  Select(OrgUserList(), {"DAN", "ANN"});
  W().DropUsersOnOrg(Node("Root002"));
  EXPECT_EQ(Count("select count(*) from authreg where organizeNo='Root002'"), 3);
  EXPECT_EQ(Count("select count(*) from vcard where organizeNo='Root002'"), 3);
  EXPECT_EQ(Count("select count(*) from authreg where username in ('DAN','ANN') and organizeNo='Root002'"), 2);
  // The list now shows the drop department.
  EXPECT_EQ(Column(OrgUserList(), 1), (std::vector<std::string>{"DAN", "ANN", "CID"}));
  EXPECT_EQ(core_.Dir().Get()->FindUser("DAN")->organizename, "C");
}

// An account the directory sync locked says so in its editor; others do not.
TEST_F(ConsoleTest, AccountEditorShowsTheDirectoryLock) {
  Exec(
      "create table DirectoryAccounts(username TEXT COLLATE NOCASE,dn TEXT,uid TEXT,locked INTEGER NOT NULL DEFAULT 0);"
      "insert into DirectoryAccounts values('EVE','uid=eve,dc=x','e1',1);"
      "insert into DirectoryAccounts values('DAN','uid=dan,dc=x','d1',0)");
  W().ShowUsersPage();
  for (const auto& [name, locked] : {std::pair{"EVE", true}, std::pair{"DAN", false}}) {
    Select(UserList(), {name});
    W().UpdateUserMenu();
    bool shown = !locked;
    OnDialog([&](QDialog& d) {
      QLabel* note = Field<QLabel>(d, "lblLocked");
      shown = note != nullptr && note->isVisibleTo(&d);
      if (note != nullptr) {
        EXPECT_EQ(note->text().toStdString(), kLockedAccountState);
      }
    });
    W().EditUserFromList();
    EXPECT_EQ(shown, locked) << name;
  }
}

TEST_F(ConsoleTest, AccountEditorChecksInOrderThenSavesAndRefreshes) {
  W().ShowUsersPage();
  std::vector<std::string> seen;
  int round = 0;
  OnDialog([&](QDialog& d) {
    auto& f = static_cast<UserEditor&>(d);
    EXPECT_EQ(f.windowTitle(), "添加用户");
    EXPECT_EQ(Edit(f, "edtid")->text(), "100");
    EXPECT_EQ(Edit(f, "edtloginname")->text(), "");
    EXPECT_EQ(OrgChoice(f)->currentIndex(), 0);
    std::vector<std::string> items;
    for (int i = 0; i < OrgChoice(f)->count(); ++i) items.push_back(OrgChoice(f)->itemText(i).toStdString());
    EXPECT_EQ(items, (std::vector<std::string>{"C", "A", "A\\B", "未分组"}));
    if (round++ > 0) return;
    Edit(f, "edtloginname")->setText(" zed ");
    Edit(f, "edtloginpwd")->setText("pw");
    PressOk(f);  // no display name
    Edit(f, "edtnickname")->setText("Zed");
    Edit(f, "edtid")->setText("10001");
    PressOk(f);
    Edit(f, "edtid")->setText("0");
    Edit(f, "edtloginname")->setText("Bob");
    PressOk(f);
    EXPECT_EQ(f.result(), QDialog::Rejected);  // still open
    Edit(f, "edtloginname")->setText(" zed ");
    OrgChoice(f)->setCurrentIndex(2);
    PressOk(f);
    EXPECT_EQ(f.result(), QDialog::Accepted);
  });
  W().NewUserFromList();
  EXPECT_EQ(prompter_.messages, (std::vector<std::string>{"信息|*号项必须填写", "信息|优先级请正确输入！",
                                                          "信息|此登录名已经存在，请换用其它名称"}));
  auto zed = core_.Dir().Get()->FindUser("ZED");
  ASSERT_TRUE(zed);
  EXPECT_EQ(zed->organizeNo, "Root001001");
  EXPECT_EQ(zed->organizename, "B");
  EXPECT_EQ(Count("select count(*) from vcard where username='ZED'"), 1);
  EXPECT_EQ(Column(UserList(), 1).front(), "ZED");  // order 0 comes first

  // Editing: the fields show the account; a new account afterwards starts empty.
  Select(UserList(), {"ZED"});
  W().UpdateUserMenu();
  EXPECT_TRUE(Action("poplvwuserupdate")->isEnabled());
  OnDialog([&](QDialog& d) {
    auto& f = static_cast<UserEditor&>(d);
    EXPECT_EQ(f.windowTitle(), "修改用户信息");
    EXPECT_EQ(Edit(f, "edtloginname")->text(), "ZED");
    EXPECT_EQ(OrgChoice(f)->currentText(), "A\\B");
    Edit(f, "edtnickname")->setText("Zed Two");
    PressOk(f);  // same name: no clash
  });
  W().EditUserFromList();
  EXPECT_EQ(core_.Dir().Get()->FindUser("ZED")->nickname, "Zed Two");
  EXPECT_EQ(Count("select count(*) from authreg where nickname='Zed Two'"), 1);
  round = 1;
  OnDialog([&](QDialog& d) { EXPECT_EQ(Edit(d, "edtloginname")->text(), ""); });
  W().NewUserFromList();

  UserList()->clearSelection();
  W().UpdateUserMenu();
  EXPECT_FALSE(Action("poplvwuserupdate")->isEnabled());
  EXPECT_FALSE(Action("poplvwuserdelete")->isEnabled());
  EXPECT_TRUE(Action("poplvwusernew")->isEnabled());
}

TEST_F(ConsoleTest, NewAccountFromTheOrganisationPagePreselectsTheCurrentDepartment) {
  Tree()->setCurrentIndex(Node("Root002"));
  std::string chosen;
  OnDialog([&](QDialog& d) { chosen = OrgChoice(d)->currentData().toString().toStdString(); });
  W().NewUserInOrg();
  EXPECT_EQ(chosen, "Root002");
  Tree()->setCurrentIndex(Node("Root"));
  W().NewUserInOrg();
  EXPECT_EQ(chosen, "");  // the root is no choice
}

TEST_F(ConsoleTest, DeletingAnAccountRebuildsBothLists) {
  Tree()->setCurrentIndex(Node("Root001"));
  W().ShowAllUsers();
  Select(UserList(), {"ANN"});
  W().DeleteUserFromList();
  EXPECT_EQ(prompter_.questions.back(), "信息|是否删除此用户？");
  EXPECT_FALSE(core_.Dir().Get()->UserExists("ANN"));
  EXPECT_EQ(Count("select count(*) from vcard where username='ANN'"), 0);
  for (QTreeView* list : {UserList(), OrgUserList()}) {
    auto names = Column(list, 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "ANN"), 0);
  }
}

TEST_F(ConsoleTest, DepartmentDialogsCreateRenameTheRootAndDeleteSubtrees) {
  // New department under A: the same-name question, answered no, keeps the dialog open.
  Tree()->setCurrentIndex(Node("Root001"));
  prompter_.answers = {false};
  OnDialog([&](QDialog& d) {
    auto& f = static_cast<NewDepartmentDialog&>(d);
    EXPECT_EQ(f.windowTitle(), "新建部门");
    EXPECT_EQ(Edit(f, "edtid")->text(), "100");
    Edit(f, "edtneworgname")->setText("B");
    PressOk(f);
    EXPECT_EQ(Edit(f, "edtneworgname")->text(), "B");
    Edit(f, "edtneworgname")->setText("D");
    Edit(f, "edtid")->setText("0");
    PressOk(f);
  });
  W().NewDepartment();
  EXPECT_EQ(prompter_.questions, (std::vector<std::string>{"信息|该组下已经有同名组，是否继续添加"}));
  ASSERT_TRUE(Node("Root001002").isValid());
  EXPECT_EQ(Text(Node("Root001").model()->index(0, 0, Node("Root001"))), "D");  // order 0 before B's 1

  // Renaming the root renames the organisation.
  Tree()->setCurrentIndex(Node("Root"));
  OnDialog([&](QDialog& d) {
    auto& f = static_cast<EditDepartmentDialog&>(d);
    EXPECT_EQ(f.windowTitle(), "修改部门");
    EXPECT_EQ(Edit(f, "edtneworgname")->text(), "Acme");
    EXPECT_EQ(Edit(f, "edtid")->text(), "0");
    Edit(f, "edtneworgname")->setText("Corvan");
    PressOk(f);
  });
  W().EditDepartment();
  EXPECT_EQ(QString::fromStdString(Text(Node("Root"))), "Corvan");
  EXPECT_EQ(core_.Dir().Get()->CompanyName(), "Corvan");
  EXPECT_EQ(Count("select count(*) from organize where organizeNo='Root' and organizename='Corvan'"), 1);

  // Deleting A takes B, D and their accounts; C stays.
  Tree()->setCurrentIndex(Node("Root001"));
  W().DeleteDepartment();
  EXPECT_EQ(prompter_.questions.back(), "信息|是否要删除该组？该组用户会同时删除");
  EXPECT_FALSE(Node("Root001").isValid());
  EXPECT_FALSE(Node("Root001001").isValid());
  EXPECT_TRUE(Node("Root002").isValid());
  EXPECT_EQ(Column(UserList(), 1), (std::vector<std::string>{"SEED", "CID"}));
  EXPECT_EQ(Count("select count(*) from authreg"), 2);
  EXPECT_EQ(Count("select count(*) from organize where organizeNo like 'Root001%'"), 0);
}

TEST_F(ConsoleTest, DatabaseFailureIsShownAndChangesNothing) {
  W().ShowUsersPage();
  Exec("alter table vcard rename to vcard_gone");
  OnDialog([&](QDialog& d) {
    auto& f = static_cast<UserEditor&>(d);
    Edit(f, "edtloginname")->setText("zed");
    Edit(f, "edtloginpwd")->setText("pw");
    Edit(f, "edtnickname")->setText("Zed");
    PressOk(f);
  });
  W().NewUserFromList();
  EXPECT_EQ(prompter_.messages, (std::vector<std::string>{"信息|数据库错误，操作未完成!"}));
  EXPECT_FALSE(core_.Dir().Get()->UserExists("ZED"));
  EXPECT_EQ(UserList()->model()->rowCount(), 6);
}

TEST(ConsoleNoDepartmentTest, NewAccountNeedsADepartmentFirst) {
  test::TempDir home;
  CoreOptions o;
  o.home = home.Path();
  UseDefaultWiring(o);
  ServerCore core(o);
  FakePrompter prompter;
  MainWindow w(core, prompter);  // nothing loaded: no departments
  bool opened = false;
  w.ExecDialog = [&](QDialog&) {
    opened = true;
    return 0;
  };
  w.NewUserFromList();
  w.NewUserInOrg();
  EXPECT_FALSE(opened);
  EXPECT_EQ(prompter.messages, (std::vector<std::string>{"信息|请先新增一个组织", "信息|请先新增一个组织"}));
}

TEST_F(ConsoleTest, StatusLogKeepsOrderAcrossThreadsAndEmptiesPastAThousandLines) {
  std::thread worker([&] {
    for (int i = 0; i < 50; ++i) core_.Log().Append("w" + std::to_string(i));
  });
  worker.join();
  core_.Log().Append("main");
  QApplication::processEvents();
  QStringList lines = Log(W())->toPlainText().split('\n');
  ASSERT_EQ(lines.size(), 51);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(lines[i], QString("w%1").arg(i));
  EXPECT_EQ(lines.back(), "main");

  Log(W())->clear();
  MainWindow fresh(core_, prompter_);
  for (int i = 1; i <= 1000; ++i) fresh.LogStatus(QString::number(i));
  EXPECT_EQ(Log(fresh)->document()->blockCount(), 1000);
  fresh.LogStatus("1001");  // crosses the limit: emptied, this line lost too
  EXPECT_TRUE(Log(fresh)->toPlainText().isEmpty());
  fresh.LogStatus("next");
  EXPECT_EQ(Log(fresh)->toPlainText(), "next");
}

}  // namespace
}  // namespace corvan
