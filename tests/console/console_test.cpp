#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <deque>
#include <thread>

#include "console/main_window.h"
#include "console/department_dialogs.h"
#include "console/user_editor.h"
#include "console/prompter.h"
#include "console/user_rows.h"
#include "admin/admin_commands.h"
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

std::vector<std::string> Column(const QTreeWidget* list, int column) {
  std::vector<std::string> out;
  for (int i = 0; i < list->topLevelItemCount(); ++i) out.push_back(list->topLevelItem(i)->text(column).toStdString());
  return out;
}

// A console on a data folder holding departments A (with child B) and C
// under the root "Acme", the seeded "001", and a few accounts.
class ConsoleTest : public ::testing::Test {
 protected:
  ConsoleTest() : core_(Options()) {}

  CoreOptions Options() {
    CoreOptions o;
    o.home = home_.Path();
    return o;
  }

  void SetUp() override {
    ASSERT_TRUE(core_.OpenDatabase());
    Exec("insert into organize values('Root','Acme','',0);"
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
    auto lock = core_.Db().Lock();
    core_.Db().Exec(sql);
  }
  std::int64_t Count(std::string_view sql) {
    auto lock = core_.Db().Lock();
    Statement st(core_.Db(), sql);
    st.Step();
    return st.ColumnInt64(0);
  }
  void AddAccount(const std::string& name, const std::string& org, int id) {
    Exec("insert into authreg(username,pwd,nickname,organizeNo,USERID) values('" + name + "','pw','n" + name + "','" +
         org + "'," + std::to_string(id) + ");insert into vcard(username,organizeNo,nickname) values('" + name +
         "','" + org + "','n" + name + "')");
  }
  MainWindow& W() { return *window_; }
  QTreeWidgetItem* Node(const std::string& code) { return W().FindOrgNode(code); }
  void Select(QTreeWidget* list, const std::vector<std::string>& names) {
    list->clearSelection();
    for (int i = 0; i < list->topLevelItemCount(); ++i)
      for (const auto& n : names)
        if (list->topLevelItem(i)->text(1).toStdString() == n) list->topLevelItem(i)->setSelected(true);
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
                           "Rzlvwuser", "Rzlvwuserlist", "poporg", "poporguser", "poplvwuser", "Tfrmuser",
                           "Tfrmneworg", "Tfrmorgrename", "edtloginname", "cmborg", "Memodesc", "Tabbasic"})
    EXPECT_TRUE(W().findChild<QObject*>(name)) << name;
  for (const char* name : {"poplvwusernew", "poplvwuserupdate", "poplvwuserdelete", "poporgusernew", "poporguserupdate",
                           "poporguserdelete", "poporgnew", "poporgrename", "poporgdelete", "poporgnewuser",
                           "Nmanageuser", "Nmanageorg", "Nserverstatus"})
    EXPECT_TRUE(W().findChild<QAction*>(name)) << name;
  EXPECT_FALSE(W().pageControl->tabBar()->isVisibleTo(&W()));
  EXPECT_EQ(W().pageControl->currentWidget(), W().statusPage);
  QTreeWidgetItem* header = W().userList->headerItem();
  EXPECT_EQ(header->text(0), "显示编序");
  EXPECT_EQ(header->text(1), "登录名");
  EXPECT_EQ(header->text(2), "显示名称");
  EXPECT_EQ(header->text(3), "组织");
  EXPECT_EQ(W().userEditor->loginNameEdit->maxLength(), 30);
  EXPECT_EQ(W().userEditor->companyEdit->maxLength(), 50);
  EXPECT_EQ(W().userEditor->passwordEdit->echoMode(), QLineEdit::Password);
}

TEST_F(ConsoleTest, TreeShowsDepartmentsUnderParentsByDisplayOrderAndListsByPrefix) {
  QTreeWidget* tree = W().orgTree;
  ASSERT_EQ(tree->topLevelItemCount(), 1);
  QTreeWidgetItem* root = tree->topLevelItem(0);
  EXPECT_EQ(root->text(0), "Acme");
  ASSERT_EQ(root->childCount(), 3);
  EXPECT_EQ(root->child(0)->text(0), "C");  // order 5
  EXPECT_EQ(root->child(1)->text(0), "A");  // order 10
  EXPECT_EQ(root->child(1)->child(0)->text(0), "B");
  EXPECT_EQ(root->child(2)->text(0), "未分组");

  tree->setCurrentItem(root);  // the change event fills the list
  EXPECT_EQ(W().CurrentOrgNode, "Root");
  EXPECT_EQ(Column(W().orgUserList, 1), (std::vector<std::string>{"DAN", "EVE", "ANN", "CID", "BOB"}));
  tree->setCurrentItem(Node("Root001"));
  EXPECT_EQ(Column(W().orgUserList, 1), (std::vector<std::string>{"DAN", "EVE", "ANN", "BOB"}));
  EXPECT_EQ(Column(W().orgUserList, 3), (std::vector<std::string>{"A", "A", "A", "A\\B"}));

  // A right click on empty space empties the list and leaves no current node.
  W().OrgTreePressed(nullptr, Qt::RightButton);
  EXPECT_EQ(W().orgUserList->topLevelItemCount(), 0);
  W().UpdateOrgMenu();
  EXPECT_FALSE(W().newOrgAction->isEnabled());
  EXPECT_FALSE(W().editOrgAction->isEnabled());
  // The root can be renamed and given departments, not deleted.
  W().OrgTreePressed(root, Qt::RightButton);
  W().UpdateOrgMenu();
  EXPECT_TRUE(W().newOrgAction->isEnabled());
  EXPECT_TRUE(W().editOrgAction->isEnabled());
  EXPECT_FALSE(W().deleteOrgAction->isEnabled());
  EXPECT_FALSE(W().orgNewUserAction->isEnabled());
  W().OrgTreePressed(Node("Root002"), Qt::RightButton);
  EXPECT_EQ(W().CurrentOrgNode, "Root002");
  W().UpdateOrgMenu();
  EXPECT_TRUE(W().deleteOrgAction->isEnabled());
}

TEST_F(ConsoleTest, HeaderClicksFlipOneFlagForAllColumns) {
  W().ShowUsersPage();
  EXPECT_EQ(W().pageControl->currentWidget(), W().usersPage);
  QTreeWidget* list = W().userList;
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

TEST_F(ConsoleTest, ChangesMadeElsewhereReachTheViewsKeepingSortAndSelection) {
  W().ShowUsersPage();
  W().orgTree->setCurrentItem(Node("Root001"));
  W().SortAllUsersByColumn(1);  // login name, descending
  Select(W().userList, {"EVE"});
  Select(W().orgUserList, {"DAN"});

  // Nothing changed: nothing is rebuilt.
  QTreeWidgetItem* before = W().userList->topLevelItem(0);
  W().FollowDirectory();
  EXPECT_EQ(W().userList->topLevelItem(0), before);

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
  W().FollowDirectory();

  ASSERT_NE(Node(d), nullptr);
  EXPECT_EQ(Node(d)->text(0).toStdString(), "D");
  EXPECT_EQ(Node("Root001")->text(0).toStdString(), "A2");
  EXPECT_EQ(W().orgTree->currentItem(), Node("Root001"));
  EXPECT_EQ(Column(W().userList, 1), (std::vector<std::string>{"SEED", "FAY", "EVE", "DAN", "CID", "BOB"}));
  EXPECT_FALSE(W().AllUserSort.ascending);
  EXPECT_EQ(Column(W().orgUserList, 1), (std::vector<std::string>{"DAN", "EVE", "BOB", "FAY"}));
  auto selected = [](QTreeWidget* list) {
    std::vector<std::string> out;
    for (QTreeWidgetItem* item : list->selectedItems()) out.push_back(item->text(1).toStdString());
    return out;
  };
  EXPECT_EQ(selected(W().userList), (std::vector<std::string>{"EVE"}));
  EXPECT_EQ(selected(W().orgUserList), (std::vector<std::string>{"DAN"}));
  // Rows show the new department name.
  for (int i = 0; i < W().orgUserList->topLevelItemCount(); ++i) {
    if (W().orgUserList->topLevelItem(i)->text(1) == "DAN") {
      EXPECT_NE(W().orgUserList->topLevelItem(i)->text(3).toStdString().find("A2"), std::string::npos);
    }
  }

  // The current department deleted elsewhere: no current node, empty list.
  run({"org", "del", "Root001", "--yes"});
  W().FollowDirectory();
  EXPECT_EQ(Node("Root001"), nullptr);
  EXPECT_EQ(W().orgUserList->topLevelItemCount(), 0);
  EXPECT_FALSE(W().CurrentOrgNode.has_value());
  EXPECT_EQ(Column(W().userList, 1), (std::vector<std::string>{"SEED", "CID"}));
}

TEST(UserRowsTest, TextColumnsIgnoreAsciiCaseOnly) {
  EXPECT_EQ(CompareAsciiNoCase("abc", "ABC"), 0);
  EXPECT_LT(CompareAsciiNoCase("abc", "ABD"), 0);
  EXPECT_LT(CompareAsciiNoCase("ab", "abc"), 0);
  EXPECT_GT(CompareAsciiNoCase("Z", "a"), 0);
  EXPECT_GT(CompareAsciiNoCase("\xC3\xA9", "z"), 0);  // other bytes by value
  EXPECT_NE(CompareAsciiNoCase("\xC3\xA9", "\xC3\x89"), 0);  // é and É differ
}

TEST_F(ConsoleTest, DroppingRowsOnADepartmentAsksThenMovesThemInBothTables) {
  W().orgTree->setCurrentItem(Node("Root001"));
  Select(W().orgUserList, {"DAN", "ANN"});
  prompter_.answers = {false};
  W().DropUsersOnOrg(Node("Root002"));
  ASSERT_EQ(prompter_.questions.size(), 1u);
  EXPECT_EQ(prompter_.questions[0], "信息|是否要将这2个用户加入到C下？");
  EXPECT_EQ(Count("select count(*) from authreg where organizeNo='Root002'"), 1);

  W().orgTree->setCurrentItem(Node("Root001"));
  Select(W().orgUserList, {"DAN", "ANN"});
  W().DropUsersOnOrg(Node("Root002"));
  EXPECT_EQ(Count("select count(*) from authreg where organizeNo='Root002'"), 3);
  EXPECT_EQ(Count("select count(*) from vcard where organizeNo='Root002'"), 3);
  EXPECT_EQ(Count("select count(*) from authreg where username in ('DAN','ANN') and organizeNo='Root002'"), 2);
  // The list now shows the drop department.
  EXPECT_EQ(Column(W().orgUserList, 1), (std::vector<std::string>{"DAN", "ANN", "CID"}));
  EXPECT_EQ(core_.Dir().Get()->FindUser("DAN")->organizename, "C");
}

TEST_F(ConsoleTest, AccountEditorChecksInOrderThenSavesAndRefreshes) {
  W().ShowUsersPage();
  std::vector<std::string> seen;
  int round = 0;
  OnDialog([&](QDialog& d) {
    auto& f = static_cast<UserEditor&>(d);
    EXPECT_EQ(f.windowTitle(), "添加用户");
    EXPECT_EQ(f.orderEdit->text(), "100");
    EXPECT_EQ(f.loginNameEdit->text(), "");
    EXPECT_EQ(f.orgChoice->currentIndex(), 0);
    std::vector<std::string> items;
    for (int i = 0; i < f.orgChoice->count(); ++i) items.push_back(f.orgChoice->itemText(i).toStdString());
    EXPECT_EQ(items, (std::vector<std::string>{"C", "A", "A\\B", "未分组"}));
    if (round++ > 0) return;
    f.loginNameEdit->setText(" zed ");
    f.passwordEdit->setText("pw");
    f.okButton->click();  // no display name
    f.displayNameEdit->setText("Zed");
    f.orderEdit->setText("10001");
    f.okButton->click();
    f.orderEdit->setText("0");
    f.loginNameEdit->setText("Bob");
    f.okButton->click();
    EXPECT_EQ(f.result(), QDialog::Rejected);  // still open
    f.loginNameEdit->setText(" zed ");
    f.orgChoice->setCurrentIndex(2);
    f.okButton->click();
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
  EXPECT_EQ(Column(W().userList, 1).front(), "ZED");  // order 0 comes first

  // Editing: the fields show the account; a new account afterwards starts empty.
  Select(W().userList, {"ZED"});
  W().UpdateUserMenu();
  EXPECT_TRUE(W().userEditAction->isEnabled());
  OnDialog([&](QDialog& d) {
    auto& f = static_cast<UserEditor&>(d);
    EXPECT_EQ(f.windowTitle(), "修改用户信息");
    EXPECT_EQ(f.loginNameEdit->text(), "ZED");
    EXPECT_EQ(f.orgChoice->currentText(), "A\\B");
    f.displayNameEdit->setText("Zed Two");
    f.okButton->click();  // same name: no clash
  });
  W().EditUserFromList();
  EXPECT_EQ(core_.Dir().Get()->FindUser("ZED")->nickname, "Zed Two");
  EXPECT_EQ(Count("select count(*) from authreg where nickname='Zed Two'"), 1);
  round = 1;
  OnDialog([&](QDialog& d) { EXPECT_EQ(static_cast<UserEditor&>(d).loginNameEdit->text(), ""); });
  W().NewUserFromList();

  W().userList->clearSelection();
  W().UpdateUserMenu();
  EXPECT_FALSE(W().userEditAction->isEnabled());
  EXPECT_FALSE(W().userDeleteAction->isEnabled());
  EXPECT_TRUE(W().userNewAction->isEnabled());
}

TEST_F(ConsoleTest, NewAccountFromTheOrganisationPagePreselectsTheCurrentDepartment) {
  W().orgTree->setCurrentItem(Node("Root002"));
  std::string chosen;
  OnDialog([&](QDialog& d) { chosen = static_cast<UserEditor&>(d).orgChoice->currentData().toString().toStdString(); });
  W().NewUserInOrg();
  EXPECT_EQ(chosen, "Root002");
  W().orgTree->setCurrentItem(Node("Root"));
  W().NewUserInOrg();
  EXPECT_EQ(chosen, "");  // the root is no choice
}

TEST_F(ConsoleTest, DeletingAnAccountRebuildsBothLists) {
  W().orgTree->setCurrentItem(Node("Root001"));
  W().ShowAllUsers();
  Select(W().userList, {"ANN"});
  W().DeleteUserFromList();
  EXPECT_EQ(prompter_.questions.back(), "信息|是否删除此用户？");
  EXPECT_FALSE(core_.Dir().Get()->UserExists("ANN"));
  EXPECT_EQ(Count("select count(*) from vcard where username='ANN'"), 0);
  for (QTreeWidget* list : {W().userList, W().orgUserList}) {
    auto names = Column(list, 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "ANN"), 0);
  }
}

TEST_F(ConsoleTest, DepartmentDialogsCreateRenameTheRootAndDeleteSubtrees) {
  // New department under A: the same-name question, answered no, keeps the dialog open.
  W().orgTree->setCurrentItem(Node("Root001"));
  prompter_.answers = {false};
  OnDialog([&](QDialog& d) {
    auto& f = static_cast<NewDepartmentDialog&>(d);
    EXPECT_EQ(f.windowTitle(), "新建部门");
    EXPECT_EQ(f.orderEdit->text(), "100");
    f.nameEdit->setText("B");
    f.okButton->click();
    EXPECT_EQ(f.nameEdit->text(), "B");
    f.nameEdit->setText("D");
    f.orderEdit->setText("0");
    f.okButton->click();
  });
  W().NewDepartment();
  EXPECT_EQ(prompter_.questions, (std::vector<std::string>{"信息|该组下已经有同名组，是否继续添加"}));
  ASSERT_TRUE(Node("Root001002"));
  EXPECT_EQ(Node("Root001")->child(0)->text(0), "D");  // order 0 before B's 1

  // Renaming the root renames the organisation.
  W().orgTree->setCurrentItem(Node("Root"));
  OnDialog([&](QDialog& d) {
    auto& f = static_cast<EditDepartmentDialog&>(d);
    EXPECT_EQ(f.windowTitle(), "修改部门");
    EXPECT_EQ(f.nameEdit->text(), "Acme");
    EXPECT_EQ(f.orderEdit->text(), "0");
    f.nameEdit->setText("Corvan");
    f.okButton->click();
  });
  W().EditDepartment();
  EXPECT_EQ(Node("Root")->text(0), "Corvan");
  EXPECT_EQ(core_.Dir().Get()->CompanyName(), "Corvan");
  EXPECT_EQ(Count("select count(*) from organize where organizeNo='Root' and organizename='Corvan'"), 1);

  // Deleting A takes B, D and their accounts; C stays.
  W().orgTree->setCurrentItem(Node("Root001"));
  W().DeleteDepartment();
  EXPECT_EQ(prompter_.questions.back(), "信息|是否要删除该组？该组用户会同时删除");
  EXPECT_FALSE(Node("Root001"));
  EXPECT_FALSE(Node("Root001001"));
  EXPECT_TRUE(Node("Root002"));
  EXPECT_EQ(Column(W().userList, 1), (std::vector<std::string>{"SEED", "CID"}));
  EXPECT_EQ(Count("select count(*) from authreg"), 2);
  EXPECT_EQ(Count("select count(*) from organize where organizeNo like 'Root001%'"), 0);
}

TEST_F(ConsoleTest, DatabaseFailureIsShownAndChangesNothing) {
  W().ShowUsersPage();
  Exec("alter table vcard rename to vcard_gone");
  OnDialog([&](QDialog& d) {
    auto& f = static_cast<UserEditor&>(d);
    f.loginNameEdit->setText("zed");
    f.passwordEdit->setText("pw");
    f.displayNameEdit->setText("Zed");
    f.okButton->click();
  });
  W().NewUserFromList();
  EXPECT_EQ(prompter_.messages, (std::vector<std::string>{"信息|数据库错误，操作未完成!"}));
  EXPECT_FALSE(core_.Dir().Get()->UserExists("ZED"));
  EXPECT_EQ(W().userList->topLevelItemCount(), 6);
}

TEST(ConsoleNoDepartmentTest, NewAccountNeedsADepartmentFirst) {
  test::TempDir home;
  CoreOptions o;
  o.home = home.Path();
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
    for (int i = 0; i < 50; ++i) core_.LogStatus("w" + std::to_string(i));
  });
  worker.join();
  core_.LogStatus("main");
  QApplication::processEvents();
  QStringList lines = W().statusLog->toPlainText().split('\n');
  ASSERT_EQ(lines.size(), 51);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(lines[i], QString("w%1").arg(i));
  EXPECT_EQ(lines.back(), "main");

  W().statusLog->clear();
  MainWindow fresh(core_, prompter_);
  for (int i = 1; i <= 1000; ++i) fresh.LogStatus(QString::number(i));
  EXPECT_EQ(fresh.statusLog->document()->blockCount(), 1000);
  fresh.LogStatus("1001");  // crosses the limit: emptied, this line lost too
  EXPECT_TRUE(fresh.statusLog->toPlainText().isEmpty());
  fresh.LogStatus("next");
  EXPECT_EQ(fresh.statusLog->toPlainText(), "next");
}

}  // namespace
}  // namespace corvan
