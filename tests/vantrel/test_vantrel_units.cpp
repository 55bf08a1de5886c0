// The bridge's frame reading and writing, its token bookkeeping, the kept
// device credential, the download's all-or-nothing file, and the heap it
// gives back.
#include "credential_store.h"
#include "heap_release.h"
#include "http_calls.h"
#include "token_table.h"
#include "wire.h"

#include "support/test_util.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

using namespace vantrel;

TEST(VantrelWire, ReadsThePayloadAsTextOrAsNestedObject) {
  const auto asText = readClientFrame(QStringLiteral(
      R"({"Msg":{"Data":"{\"Id_acc\":\"a@b.c\",\"n\":5}","Code":"Login"},"VType":"WinContrlSet->","UUID":""})"));
  ASSERT_TRUE(asText);
  EXPECT_EQ(asText->code, QStringLiteral("Login"));
  EXPECT_EQ(textOf(asText->data, "Id_acc"), QStringLiteral("a@b.c"));
  EXPECT_EQ(intOf(asText->data, "n"), 5);

  const auto nested = readClientFrame(QStringLiteral(R"({"Msg":{"Code":"WSDC","Data":{"Token":"T1"}}})"));
  ASSERT_TRUE(nested);
  EXPECT_EQ(textOf(nested->data, "Token"), QStringLiteral("T1"));

  const auto topLevel = readClientFrame(QStringLiteral(R"({"Code":"Login","Data":"{\"x\":1}"})"));
  ASSERT_TRUE(topLevel);
  EXPECT_EQ(topLevel->code, QStringLiteral("Login"));

  // Not JSON, not an object, and a payload text that is not JSON.
  EXPECT_FALSE(readClientFrame(QStringLiteral("{\"Msg\":")));
  EXPECT_FALSE(readClientFrame(QStringLiteral("[1,2]")));
  const auto badData = readClientFrame(QStringLiteral(R"({"Msg":{"Code":"Login","Data":"{oops"}})"));
  ASSERT_TRUE(badData);
  EXPECT_TRUE(badData->data.is_null());
}

TEST(VantrelWire, RefusesDeeplyNestedJson) {
  const QByteArray deep = QByteArray(200000, '[') + QByteArray(200000, ']');
  EXPECT_FALSE(parseJson(deep));
  const QString frame = QStringLiteral(R"({"Msg":{"Code":"WSDC","Data":{"Token":"t","Data":%1}}})")
                            .arg(QString::fromLatin1(deep));
  EXPECT_FALSE(readClientFrame(frame));
  // Nested too deep inside the payload text: the payload is dropped.
  const auto text = readClientFrame(QString::fromStdString(
      Json{{"Msg", {{"Code", "WSDC"}, {"Data", deep.toStdString()}}}}.dump()));
  ASSERT_TRUE(text);
  EXPECT_TRUE(text->data.is_null());

  // Brackets inside strings, escaped quotes included, do not count.
  const QByteArray quoted = "{\"a\":\"\\\"" + QByteArray(1000, '[') + "\"}";
  EXPECT_TRUE(parseJson(quoted));
  const QByteArray limit = QByteArray(kMaxJsonDepth, '[') + QByteArray(kMaxJsonDepth, ']');
  EXPECT_TRUE(parseJson(limit));
  EXPECT_FALSE(parseJson("[" + limit + "]"));
}

TEST(VantrelWire, ReadsValuesLeniently) {
  const Json o = Json::parse(R"({"s":"12","i":7,"b":true,"f":2.5,"big":18446744073709551615,"o":{}})");
  EXPECT_EQ(textOf(o, "i"), QStringLiteral("7"));
  EXPECT_EQ(textOf(o, "b"), QStringLiteral("true"));
  EXPECT_EQ(textOf(o, "o"), QString());
  EXPECT_EQ(textOf(o, "missing"), QString());
  EXPECT_EQ(textOf(o, "big"), QStringLiteral("18446744073709551615"));
  EXPECT_EQ(intOf(o, "s"), 12);
  EXPECT_EQ(intOf(o, "b"), 1);
  EXPECT_EQ(intOf(o, "f"), 2);
  EXPECT_EQ(intOf(o, "missing"), 0);
  EXPECT_EQ(textOf(Json::array(), "s"), QString());
}

TEST(VantrelWire, LoginResultsReadAsTheClientTestsThem) {
  // The client counts a result as success exactly when its text holds "Result":1,
  LoginResultMsg result;
  result.ACC = 7;
  result.name_acc = QStringLiteral("Ann");
  result.rooturl = QStringLiteral("ann-host");
  result.ClientID = QStringLiteral("C-1");
  result.Token = QStringLiteral("T/1");
  result.limit = LoginLimit{10, 3, 1};
  const auto frame = parseJson(clientFrameText(QStringLiteral("LoginResult"), result.toJSONModel()));
  ASSERT_TRUE(frame);
  const Json data = valueOf(*frame, "Data");
  ASSERT_TRUE(data.is_string());
  const QString text = asText(data);
  EXPECT_TRUE(text.contains(QStringLiteral("\"Result\":1,")));
  const auto parsed = parseJson(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(textOf(*parsed, "Token"), QStringLiteral("T/1"));
  EXPECT_EQ(intOf(valueOf(*parsed, "limit"), "limit_dpc"), 3);
  for (const char* key : {"ACC", "name_acc", "rooturl", "ClientID", "Token", "limit"}) EXPECT_TRUE(parsed->contains(key));

  const QString failure = asText(valueOf(
      *parseJson(clientFrameText(QStringLiteral("LoginResult"), FailureMsg{0, QStringLiteral("no")}.toJSONModel())),
      "Data"));
  EXPECT_FALSE(failure.contains(QStringLiteral("\"Result\":1")));
}

TEST(VantrelTokenTable, BindsTokensToTheirSessionAndStaysBounded) {
  TokenTable table(3);
  table.insert(QStringLiteral("t1"), QStringLiteral("a|b"));
  EXPECT_FALSE(table.take(QStringLiteral("t1"), QStringLiteral("a|c")));  // another session
  EXPECT_TRUE(table.contains(QStringLiteral("t1")));
  EXPECT_TRUE(table.take(QStringLiteral("t1"), QStringLiteral("a|b")));
  EXPECT_FALSE(table.take(QStringLiteral("t1"), QStringLiteral("a|b")));  // answered once only

  for (int i = 0; i < 5; ++i) table.insert(QStringLiteral("k%1").arg(i), QStringLiteral("a|b"));
  EXPECT_EQ(table.size(), 3u);
  EXPECT_FALSE(table.contains(QStringLiteral("k0")));
  EXPECT_TRUE(table.contains(QStringLiteral("k4")));

  // A token held already is held once and counted once; taken and held
  // again, it is not evicted by its older queue entry.
  TokenTable again(2);
  EXPECT_TRUE(again.insert(QStringLiteral("x"), QStringLiteral("s")));
  EXPECT_FALSE(again.insert(QStringLiteral("x"), QStringLiteral("s")));
  EXPECT_FALSE(again.insert(QStringLiteral("x"), QStringLiteral("t")));
  EXPECT_EQ(again.countOf(QStringLiteral("s")), 1);
  EXPECT_EQ(again.countOf(QStringLiteral("t")), 0);
  EXPECT_TRUE(again.take(QStringLiteral("x"), QStringLiteral("s")));
  EXPECT_TRUE(again.insert(QStringLiteral("x"), QStringLiteral("s")));
  again.insert(QStringLiteral("y"), QStringLiteral("s"));
  EXPECT_TRUE(again.contains(QStringLiteral("x")));
  EXPECT_TRUE(again.contains(QStringLiteral("y")));

  table.insert(QStringLiteral("z"), QStringLiteral("c|d"));
  table.forgetSession(QStringLiteral("a|b"));
  EXPECT_EQ(table.size(), 1u);
  EXPECT_TRUE(table.contains(QStringLiteral("z")));
}

TEST(VantrelCredential, KeptForTheUserOnly) {
  QTemporaryDir dir;
  const QString path = dir.path() + QStringLiteral("/Kelvor/bridge/credential.json");
  CredentialStore store(path);
  EXPECT_FALSE(store.load());
  ASSERT_TRUE(store.save(StoredCredential{7, QStringLiteral("secret-1")}));
  const auto perms = QFileInfo(path).permissions();
  EXPECT_TRUE(perms.testFlags(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
  EXPECT_FALSE(perms & (QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                        QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther |
                        QFileDevice::ExeOther));
  EXPECT_FALSE(QFileInfo(QFileInfo(path).absolutePath()).permissions() &
               (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::ExeOther));
  const auto loaded = store.load();
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->ACC, 7);
  EXPECT_EQ(loaded->Credential, QStringLiteral("secret-1"));

  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write("{broken");
  file.close();
  EXPECT_FALSE(store.load());

  // The default place is under the documents folder of the (test) home.
  EXPECT_TRUE(CredentialStore().path().endsWith(QStringLiteral("/Documents/Kelvor/bridge/credential.json")));
}

TEST(VantrelHttpCalls, FailedDownloadLeavesNoFileBehind) {
  QTemporaryDir dir;
  HttpCalls calls;
  quint16 closedPort = 0;
  {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    closedPort = probe.serverPort();
  }
  const QString target = dir.path() + QStringLiteral("/Kelvor1.0.3.tmp");
  std::optional<bool> ok;
  calls.download(QStringLiteral("http://127.0.0.1:%1/x").arg(closedPort), target,
                 [&](bool success, const QString&) { ok = success; });
  ASSERT_TRUE(testutil::waitUntil([&] { return ok.has_value(); }));
  EXPECT_FALSE(*ok);
  EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());

  // Refused before any request: other schemes, relative or folder-less paths.
  std::vector<bool> results;
  auto record = [&](bool success, const QString&) { results.push_back(success); };
  calls.download(QStringLiteral("file:///etc/passwd"), target, record);
  calls.download(QStringLiteral("http://127.0.0.1:1/x"), QStringLiteral("relative.tmp"), record);
  calls.download(QStringLiteral("http://127.0.0.1:1/x"), dir.path() + QStringLiteral("/no/such/dir/f"), record);
  calls.fetchText(QStringLiteral("ftp://127.0.0.1/"), 5, record);
  EXPECT_EQ(results, (std::vector<bool>{false, false, false, false}));
}

TEST(VantrelHeapRelease, GivesBackWhatWorkerThreadsAndABurstFreed) {
#ifdef ZARKELO_SANITIZED
  GTEST_SKIP() << "the sanitizers' allocator is not glibc's";
#endif
  HeapRelease heap;
  EXPECT_FALSE(heap.releaseIfGrown());  // nothing grew
  // Worker threads fill their arenas and free most of it; one block in 16
  // stays, so the arenas cannot shrink from their tops by themselves.
  constexpr int kThreads = 4, kBlocks = 512, kBlockBytes = 16 * 1024;
  std::vector<std::vector<char*>> kept(kThreads);
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&kept, t] {
      std::vector<char*> blocks;
      for (int i = 0; i < kBlocks; ++i) {
        blocks.push_back(static_cast<char*>(std::malloc(kBlockBytes)));
        std::memset(blocks.back(), 1, kBlockBytes);
      }
      for (int i = 0; i < kBlocks; ++i) {
        if (i % 16 == 15) kept[t].push_back(blocks[i]);
        else std::free(blocks[i]);
      }
    });
  for (std::thread& w : workers) w.join();
  const qint64 grown = residentBytes();
  EXPECT_TRUE(heap.releaseIfGrown());
  EXPECT_LT(residentBytes(), grown - 8 * 1024 * 1024);
  EXPECT_FALSE(heap.releaseIfGrown());  // back at its level

  // A burst trimmed at its height (its blocks still in use then) and freed
  // afterwards, but for one block in 16: given back although the resident
  // set grows no more.
  std::vector<char*> burst;
  for (int i = 0; i < 4096; ++i) {
    burst.push_back(static_cast<char*>(std::malloc(kBlockBytes)));
    std::memset(burst.back(), 1, kBlockBytes);
  }
  EXPECT_TRUE(heap.releaseIfGrown());
  for (int i = 0; i < int(burst.size()); ++i) {
    if (i % 16 == 15) kept[0].push_back(burst[i]);
    else std::free(burst[i]);
  }
  const qint64 height = residentBytes();
  EXPECT_TRUE(heap.releaseIfGrown());
  EXPECT_LT(residentBytes(), height - 32 * 1024 * 1024);
  EXPECT_FALSE(heap.releaseIfGrown());
  for (auto& blocks : kept)
    for (char* block : blocks) std::free(block);
}
