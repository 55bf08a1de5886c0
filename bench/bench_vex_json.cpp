// toJSONString of a request envelope holding a 100-entry file list, against
// nlohmann's own dump of the same tree built by hand. Prints the ratio.
#include "core/vex_json.h"

#include <benchmark/benchmark.h>

#include "support/ratio_main.h"

namespace {

struct Entry {
  QString name, fullPath, iconData;
  int64_t size = 0;
  bool isDir = false;
  int64_t createdTime = 0;
  int modifiedTime = 0;
  VEX_FIELDS(name, fullPath, iconData, size, isDir, createdTime, modifiedTime)
};

struct Page {
  QString index, result, pageInfo;
  std::vector<Entry> list;
  VEX_FIELDS(index, result, pageInfo, list)
};

struct Envelope {
  QString Session, Code, Token, ClientID1, ClientID2;
  vex::Json Data;
  VEX_FIELDS(Session, Code, Token, ClientID1, ClientID2, Data)
};

Page makePage() {
  Page page{QString(), QStringLiteral("OK"), QStringLiteral("100|1"), {}};
  for (int i = 0; i < 100; ++i)
    page.list.push_back(Entry{QStringLiteral("file-%1.jpg").arg(i), QStringLiteral("/Users/me/Pictures/file-%1.jpg").arg(i),
                              QString(), 1000 + i, i % 7 == 0, 1700000000 + i, 1700000000 + i});
  return page;
}

void BM_ReflectedToJSONString(benchmark::State& state) {
  const Page page = makePage();
  for (auto _ : state) {
    Envelope env{QStringLiteral("a|b"), QStringLiteral("getFileList"), QStringLiteral("T-1"), QStringLiteral("a"),
                 QStringLiteral("b"), page.toJSONModel()};
    auto text = env.toJSONString();
    benchmark::DoNotOptimize(text);
  }
}

void BM_HandBuiltDump(benchmark::State& state) {
  const Page page = makePage();
  for (auto _ : state) {
    vex::Json list = vex::Json::array();
    for (const auto& e : page.list)
      list.push_back({{"name", e.name.toStdString()}, {"fullPath", e.fullPath.toStdString()},
                      {"iconData", e.iconData.toStdString()}, {"size", e.size}, {"isDir", e.isDir},
                      {"createdTime", e.createdTime}, {"modifiedTime", e.modifiedTime}});
    vex::Json data{{"index", page.index.toStdString()}, {"result", page.result.toStdString()},
                   {"pageInfo", page.pageInfo.toStdString()}, {"list", std::move(list)}};
    vex::Json env{{"Session", "a|b"}, {"Code", "getFileList"}, {"Token", "T-1"}, {"ClientID1", "a"},
                  {"ClientID2", "b"}, {"Data", std::move(data)}};
    auto text = env.dump();
    benchmark::DoNotOptimize(text);
  }
}

BENCHMARK(BM_ReflectedToJSONString);
BENCHMARK(BM_HandBuiltDump);

}  // namespace

int main(int argc, char** argv) {
  return benchsupport::runWithRatios(
      argc, argv, {{"BM_ReflectedToJSONString", "BM_HandBuiltDump", "toJSONString / hand-built dump (target <= 1.5)"}});
}
