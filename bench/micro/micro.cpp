// Micro-benchmarks of the hot pure functions: frame reading, envelope parse
// and build, GBK conversion and the directory replies.
//
//   build/bench/micro/corvan-micro [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "accounts/replies.h"
#include "base/text.h"
#include "server/envelope.h"
#include "server/frame.h"
#include "storage/directory.h"
#include "storage/schema.h"

namespace {

using namespace corvan;

std::string LoginBody() {
  return EnvelopeWriter("Loginin")
      .Field("username", "U00042")
      .Field("pwd", "pw")
      .Field("Mac", "02-00-00-00-00-2A")
      .Finish();
}

// 64 frames in one buffer, fed in 1500-byte pieces as a socket would.
void BM_FrameReader(benchmark::State& state) {
  const std::string body = LoginBody();
  std::string stream;
  for (int i = 0; i < 64; ++i) stream += EncodeFrame(body) + body;
  for (auto _ : state) {
    FrameReader reader;
    std::string out;
    int frames = 0;
    for (std::size_t pos = 0; pos < stream.size(); pos += 1500) {
      reader.Feed(std::string_view(stream).substr(pos, 1500));
      while (reader.Next(out) == FrameReader::Result::kBody) ++frames;
    }
    benchmark::DoNotOptimize(frames);
  }
  state.SetItemsProcessed(state.iterations() * 64);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
}
BENCHMARK(BM_FrameReader);

void BM_EnvelopeParse(benchmark::State& state) {
  const std::string body = LoginBody();
  for (auto _ : state) {
    auto env = ParsedEnvelope::Read(body);
    benchmark::DoNotOptimize(env->Field("username"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnvelopeParse);

// A request with Chinese text: the body goes through the GBK decoder once.
void BM_EnvelopeParseChinese(benchmark::State& state) {
  const std::string body = EnvelopeWriter("UpdateInfo")
                               .Field("username", "U00042")
                               .Field("nickname", "用户00042")
                               .Field("self_desc", "沟通协作，创造价值！")
                               .Finish();
  for (auto _ : state) {
    auto env = ParsedEnvelope::Read(body);
    benchmark::DoNotOptimize(env->Field("nickname"));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnvelopeParseChinese);

void BM_EnvelopeBuildLoginReply(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(BuildLoginSuccess("用户00042", "127.0.0.44"));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnvelopeBuildLoginReply);

void BM_EnvelopeBuildResult(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(BuildResult("Loginin", "Fail", "该用户不存在!"));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnvelopeBuildResult);

const std::string kChinese = "沟通协作，创造价值！杭州市西湖区文三路，工程师张三。";

void BM_Utf8ToGbk(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Utf8ToGbk(kChinese));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kChinese.size()));
}
BENCHMARK(BM_Utf8ToGbk);

void BM_GbkToUtf8(benchmark::State& state) {
  const std::string gbk = *Utf8ToGbk(kChinese);
  for (auto _ : state) benchmark::DoNotOptimize(GbkToUtf8(gbk));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(gbk.size()));
}
BENCHMARK(BM_GbkToUtf8);

DirectorySnapshot MakeDirectory(int accounts) {
  std::vector<DirectorySnapshot::OrgPtr> orgs;
  for (int d = 1; d <= 20; ++d) {
    char code[8];
    std::snprintf(code, sizeof code, "%03d", d);
    AddOrg(orgs, "部门" + std::to_string(d), code, "Root", d);
  }
  std::vector<DirectorySnapshot::UserPtr> users;
  for (int i = 1; i <= accounts; ++i) {
    TUserInfo u;
    char name[16];
    std::snprintf(name, sizeof name, "U%05d", i);
    u.username = name;
    u.nickname = std::string("用户") + (name + 1);
    u.organizeNo = orgs[static_cast<std::size_t>(i) % orgs.size()]->organizeNo;
    u.tel = "0571-88880000";
    u.email = std::string(name) + "@corvan.lan";
    u.title = "工程师";
    u.USERID = 100;
    AddUser(users, std::move(u), orgs);
  }
  return DirectorySnapshot("Corvan", std::move(orgs), std::move(users));
}

void BM_UserlistReply(benchmark::State& state) {
  const DirectorySnapshot dir = MakeDirectory(static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string reply = BuildUserlistReply(dir);
    bytes = reply.size();
    benchmark::DoNotOptimize(reply);
  }
  state.counters["reply_bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_UserlistReply)->Arg(100)->Arg(10000)->Unit(benchmark::kMillisecond);

// What a request costs once the snapshot has built its list: the kept frame.
void BM_UserlistFrameKept(benchmark::State& state) {
  const DirectorySnapshot dir = MakeDirectory(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(UserlistFrame(dir));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UserlistFrameKept)->Arg(10000);

void BM_OrglistReply(benchmark::State& state) {
  const DirectorySnapshot dir = MakeDirectory(10);
  for (auto _ : state) benchmark::DoNotOptimize(BuildOrglistReply(dir));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OrglistReply);

void BM_UserInfoReply(benchmark::State& state) {
  const DirectorySnapshot dir = MakeDirectory(100);
  const TUserInfo& user = *dir.Users()[42];
  for (auto _ : state) benchmark::DoNotOptimize(BuildUserInfoReply(user));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UserInfoReply);

void BM_FindUser(benchmark::State& state) {
  const DirectorySnapshot dir = MakeDirectory(10000);
  for (auto _ : state) benchmark::DoNotOptimize(dir.FindUser("U09999"));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindUser);

}  // namespace

BENCHMARK_MAIN();
