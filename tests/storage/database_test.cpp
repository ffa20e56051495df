#include "storage/database.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "storage/storage_test_support.h"

namespace corvan {
namespace {

using storage_test::TempDir;
using storage_test::WriteFile;

TEST(DatabaseTest, BindsByNameAndReadsNullsAsEmptyOrZero) {
  Database db;
  ASSERT_TRUE(db.Open(":memory:").IsOk());
  DatabaseLock lock(db);
  db.Exec("create table t(a TEXT COLLATE NOCASE, n double null default 100, b BLOB)");
  Statement ins(db, "insert into t(a,n,b) values(:a,:n,:b)");
  ins.BindText(":a", "Alice").BindInt64(":n", 7).BindBlob(":b", std::string("x\0y", 3));
  ins.Run();
  ins.Reset();
  ins.BindNull(":a").BindNull(":n").BindBlob(":b", "");
  ins.Run();

  Statement sel(db, "select a,n,b from t order by n desc");
  ASSERT_TRUE(sel.Step());
  EXPECT_EQ(sel.ColumnText(0), "Alice");
  EXPECT_EQ(sel.ColumnInt64(1), 7);
  EXPECT_EQ(sel.ColumnBlob(2), std::string("x\0y", 3));
  ASSERT_TRUE(sel.Step());
  EXPECT_EQ(sel.ColumnText(0), "");
  EXPECT_EQ(sel.ColumnInt64(1), 0);
  EXPECT_EQ(sel.ColumnBlob(2), "");
  EXPECT_FALSE(sel.IsNull(2));  // an empty blob is not NULL
  EXPECT_FALSE(sel.Step());

  // NOCASE columns compare case-blind with = and like.
  Statement find(db, "select count(*) from t where a=:a or a like :p");
  find.BindText(":a", "ALICE").BindText(":p", "zz%");
  ASSERT_TRUE(find.Step());
  EXPECT_EQ(find.ColumnInt64(0), 1);
}

TEST(DatabaseTest, ErrorsThrowAndTransactionsRollBack) {
  Database db;
  ASSERT_TRUE(db.Open(":memory:").IsOk());
  DatabaseLock lock(db);
  db.Exec("create table t(a TEXT)");
  EXPECT_THROW(Statement(db, "select * from missing"), DatabaseError);
  Statement st(db, "insert into t values(:a)");
  EXPECT_THROW(st.BindText(":nope", "x"), DatabaseError);
  {
    Transaction tx(db);
    st.BindText(":a", "kept?");
    st.Run();
  }  // no commit
  {
    Transaction tx(db);
    st.Reset();
    st.BindText(":a", "kept");
    st.Run();
    tx.Commit();
  }
  Statement count(db, "select group_concat(a) from t");
  ASSERT_TRUE(count.Step());
  EXPECT_EQ(count.ColumnText(0), "kept");
}

TEST(DatabaseTest, TableExistsIgnoresCaseAndColumnNamesComeFromTheResult) {
  Database db;
  ASSERT_TRUE(db.Open(":memory:").IsOk());
  DatabaseLock lock(db);
  db.Exec("create table OfflineInfo(FromUser TEXT, SendTime TEXT)");
  EXPECT_TRUE(db.TableExists("offlineinfo"));
  EXPECT_TRUE(db.TableExists("OFFLINEINFO"));
  EXPECT_FALSE(db.TableExists("OfflineFiles"));
  EXPECT_EQ(db.ColumnNames("select * from OfflineInfo"), (std::vector<std::string>{"FromUser", "SendTime"}));
}

TEST(DatabaseTest, RefusesFilesThatAreNotDatabases) {
  TempDir dir;
  WriteFile(dir / "junk.mdb", std::string(4096, 'J'));
  Database db;
  Status opened = db.Open((dir / "junk.mdb").string());
  EXPECT_FALSE(opened.IsOk());
  EXPECT_FALSE(opened.Message().empty());
  EXPECT_FALSE(db.IsOpen());
  EXPECT_THROW(Statement(db, "select 1"), DatabaseError);
  // A missing file is not created when creation is not asked for.
  EXPECT_FALSE(db.Open((dir / "none.mdb").string(), /*create=*/false).IsOk());
  EXPECT_FALSE(std::filesystem::exists(dir / "none.mdb"));
}

TEST(DatabaseTest, BackupCopiesAndRestoreReplacesContent) {
  TempDir dir;
  std::string live = (dir / "live.mdb").string();
  std::string copy = (dir / "copy.mdb").string();
  Database db;
  ASSERT_TRUE(db.Open(live).IsOk());
  {
    DatabaseLock lock(db);
    db.Exec(
        "create table authreg(username TEXT); create table vcard(username TEXT);"
        "create table organize(organizeNo TEXT); insert into authreg values('A')");
  }
  ASSERT_TRUE(db.BackupTo(copy).IsOk());
  EXPECT_TRUE(CheckDirectoryDatabase(copy).IsOk());
  EXPECT_FALSE(CheckDirectoryDatabase((dir / "absent.mdb").string()).IsOk());
  WriteFile(dir / "junk.mdb", "not a database");
  EXPECT_EQ(CheckDirectoryDatabase((dir / "junk.mdb").string()).Message(),
            (dir / "junk.mdb").string() + ": file is not a database");
  {
    Database other;
    ASSERT_TRUE(other.Open((dir / "partial.mdb").string()).IsOk());
    DatabaseLock lock(other);
    other.Exec("create table authreg(username TEXT); create table vcard(username TEXT)");
  }
  EXPECT_EQ(CheckDirectoryDatabase((dir / "partial.mdb").string()).Message(),
            (dir / "partial.mdb").string() + ": 缺少表 organize");

  {
    DatabaseLock lock(db);
    db.Exec("delete from authreg");
  }
  ASSERT_TRUE(db.RestoreFrom(copy).IsOk());
  DatabaseLock lock(db);
  Statement st(db, "select username from authreg");
  ASSERT_TRUE(st.Step());
  EXPECT_EQ(st.ColumnText(0), "A");
}

TEST(DatabaseTest, ThreadsShareTheConnectionUnderItsLock) {
  TempDir dir;
  Database db;
  ASSERT_TRUE(db.Open((dir / "shared.mdb").string()).IsOk());
  {
    DatabaseLock lock(db);
    db.Exec("create table t(who TEXT, n INTEGER)");
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&db, t] {
      for (int i = 0; i < 50; ++i) {
        DatabaseLock lock(db);
        Statement st(db, "insert into t values(:who,:n)");
        st.BindText(":who", std::to_string(t)).BindInt64(":n", i);
        st.Run();
        EXPECT_EQ(st.Changes(), 1);
      }
    });
  }
  for (auto& th : threads) th.join();
  DatabaseLock lock(db);
  Statement count(db, "select count(*), count(distinct who) from t");
  ASSERT_TRUE(count.Step());
  EXPECT_EQ(count.ColumnInt64(0), 200);
  EXPECT_EQ(count.ColumnInt64(1), 4);
}

TEST(DatabaseTest, DatabaseLockHoldsTheConnectionUntilUnlockOrScopeEnd) {
  Database db;
  ASSERT_TRUE(db.Open(":memory:").IsOk());
  auto freeElsewhere = [&db] {
    return std::async(std::launch::async,
                      [&db] {
                        if (!db.ConnectionMutex().try_lock()) return false;
                        db.ConnectionMutex().unlock();
                        return true;
                      })
        .get();
  };
  {
    DatabaseLock lock(db);
    EXPECT_FALSE(freeElsewhere());
    lock.Unlock();
    EXPECT_TRUE(freeElsewhere());
  }
  {
    DatabaseLock lock(db);
    EXPECT_FALSE(freeElsewhere());
  }
  EXPECT_TRUE(freeElsewhere());
}

}  // namespace
}  // namespace corvan
