// The staged apply of AccountStore: what it writes, and the two ways it
// stops (a writer waits, a staged row was replaced meanwhile) with the
// transaction rolled back.
#include "storage/account_store.h"

#include <gtest/gtest.h>

#include "storage/schema.h"
#include "storage_test_support.h"

namespace corvan {
namespace {

TUserInfo Account(std::string name, std::string nickname) {
  TUserInfo u;
  u.username = std::move(name);
  u.nickname = std::move(nickname);
  u.organizeNo = "001";
  u.pwd = "pw";
  return u;
}

class AccountStoreTest : public ::testing::Test {
 protected:
  // A new file holding the accounts A and B.
  void Fresh() {
    ASSERT_TRUE(OpenDatabase(db_, (dir_ / ("t" + std::to_string(++files_) + ".mdb")).string()).IsOk());
    ASSERT_TRUE(store_
                    .InTransaction([](AccountWriter& w) {
                      for (const char* name : {"A", "B"})
                        if (Status s = w.InsertAccount(Account(name, "old")); !s.IsOk()) return s;
                      return Status::Ok();
                    })
                    .IsOk());
  }

  // "username nickname" of every account, from both tables.
  std::string Rows() {
    std::string out;
    DatabaseLock lock(db_);
    Statement st(db_,
                 "select authreg.username,authreg.nickname,vcard.nickname from authreg join vcard on "
                 "vcard.username=authreg.username order by authreg.username");
    while (st.Step()) out += st.ColumnText(0) + " " + st.ColumnText(1) + "/" + st.ColumnText(2) + ";";
    return out;
  }

  // Stages a new nickname for A and a new account C.
  void StageChanges() {
    AccountBatch batch;
    auto changed = std::make_shared<const TUserInfo>(Account("A", "new"));
    batch.accountChanges.push_back({"A", changed, true, true, false, {}});
    batch.accountAdds.push_back({std::make_shared<const TUserInfo>(Account("C", "added")), {"C", "dn", "id"}, false});
    ASSERT_TRUE(store_.Stage(batch, {}).IsOk());
  }

  // Applies what is staged; rolls back unless everything was applied.
  StagedApply Apply(const std::function<bool()>& giveWay) {
    StagedApply applied = StagedApply::kApplied;
    Status written = store_.InTransaction([&](AccountWriter& w) {
      Result<StagedApply> r = w.ApplyStaged(giveWay);
      if (!r.IsOk()) return r.GetStatus();
      applied = r.Value();
      return applied == StagedApply::kApplied ? Status::Ok() : Status(StatusCode::kRefused, "");
    });
    EXPECT_NE(written.Code(), StatusCode::kDatabaseFailed) << written.Message();
    return applied;
  }

  storage_test::TempDir dir_;
  int files_ = 0;
  Database db_;
  AccountStore store_{db_};
};

TEST_F(AccountStoreTest, StagedRowsAreAppliedOnlyWhenTheyStillHold) {
  const std::string before = "A old/old;B old/old;";
  struct Case {
    const char* what;
    std::function<void(AccountStore&)> meanwhile;
    std::function<bool()> giveWay;
    StagedApply expected;
    std::string after;
  };
  const Case cases[] = {
      {"nothing meanwhile", {}, {}, StagedApply::kApplied, "A new/new;B old/old;C added/added;"},
      {"a writer waits", {}, [] { return true; }, StagedApply::kGaveWay, before},
      // A's rows deleted and made again: the staged rows name rows that are
      // gone.
      {"the account was replaced",
       [](AccountStore& store) {
         ASSERT_TRUE(store
                         .InTransaction([](AccountWriter& w) {
                           if (Status s = w.DeleteAccount("A"); !s.IsOk()) return s;
                           return w.InsertAccount(Account("A", "old"));
                         })
                         .IsOk());
       },
       {},
       StagedApply::kStale,
       before},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    ASSERT_EQ(Rows(), before);
    StageChanges();
    if (c.meanwhile) c.meanwhile(store_);
    EXPECT_EQ(Apply(c.giveWay), c.expected);
    EXPECT_EQ(Rows(), c.after);
    EXPECT_TRUE(store_.ClearStage().IsOk());
  }
}

}  // namespace
}  // namespace corvan
