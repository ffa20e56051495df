#include "base/status.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace corvan {
namespace {

TEST(Status, DefaultIsSuccessAndAFailureKeepsCodeAndMessage) {
  EXPECT_TRUE(Status().IsOk());
  EXPECT_EQ(Status(), Status::Ok());

  Status failed(StatusCode::kDatabaseFailed, "数据库连接失败");
  EXPECT_FALSE(failed.IsOk());
  EXPECT_EQ(failed.Code(), StatusCode::kDatabaseFailed);
  EXPECT_EQ(failed.Message(), "数据库连接失败");
  EXPECT_NE(failed, Status(StatusCode::kIoFailed, "数据库连接失败"));
  EXPECT_NE(failed, Status(StatusCode::kDatabaseFailed, "备份数据失败"));
}

TEST(Result, HoldsAValueOrTheFailure) {
  Result<int> value(42);
  ASSERT_TRUE(value.IsOk());
  EXPECT_EQ(value.Value(), 42);
  EXPECT_EQ(value.ValueOr(7), 42);
  EXPECT_TRUE(value.GetStatus().IsOk());

  Result<int> failed(Status(StatusCode::kNotFound, "no such user"));
  EXPECT_FALSE(failed.IsOk());
  EXPECT_EQ(failed.ValueOr(7), 7);
  EXPECT_EQ(failed.GetStatus(), Status(StatusCode::kNotFound, "no such user"));
  EXPECT_THROW(failed.Value(), std::bad_variant_access);
}

TEST(Result, ASuccessfulStatusWithoutValueIsAnInternalFailure) {
  Result<std::string> r{Status::Ok()};
  EXPECT_FALSE(r.IsOk());
  EXPECT_EQ(r.GetStatus().Code(), StatusCode::kInternal);
}

TEST(Result, CarriesMoveOnlyValues) {
  Result<std::unique_ptr<int>> r(std::make_unique<int>(5));
  ASSERT_TRUE(r.IsOk());
  std::unique_ptr<int> taken = std::move(r).Value();
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(*taken, 5);
}

}  // namespace
}  // namespace corvan
