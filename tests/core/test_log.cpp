#include <gtest/gtest.h>

#include "core/log.h"

namespace {

// Secrets are masked wherever a log line carries them: JSON members of any
// letter case, JSON inside a JSON string, and form or address pairs; the rest
// of the line stays as it was.
TEST(LogRedaction, MasksEverySecretFormAndKeepsTheRest) {
  EXPECT_EQ(zlog::redactJsonText(QStringLiteral(R"({"Result":1,"Token":"tok-123","name_acc":"Ann"})")),
            QStringLiteral(R"({"Result":1,"Token":"<redacted>","name_acc":"Ann"})"));
  EXPECT_EQ(zlog::redactJsonText(QStringLiteral(R"({"password": "Pa\"ss", "pass":"x", "Credential":42})")),
            QStringLiteral(R"({"password": "<redacted>", "pass":"<redacted>", "Credential":"<redacted>"})"));
  EXPECT_EQ(zlog::redactJsonText(QStringLiteral(R"({"Data":"{\"Id_user\":\"tok\",\"Hostpassword\":\"c0de\"}"})")),
            QStringLiteral(R"({"Data":"{\"Id_user\":\"<redacted>\",\"Hostpassword\":\"<redacted>\"}"})"));
  EXPECT_EQ(zlog::redactJsonText(QStringLiteral("POST /confirm email=a@b.c&password=hunter2&x=1")),
            QStringLiteral("POST /confirm email=a@b.c&password=<redacted>&x=1"));
  EXPECT_EQ(zlog::redactJsonText(QStringLiteral("https://h/wx/login/?mid=42&token=9138&x=1")),
            QStringLiteral("https://h/wx/login/?mid=42&token=<redacted>&x=1"));
  EXPECT_EQ(zlog::redactJsonText(QStringLiteral("https://h/account/token/check2/?t=9138")),
            QStringLiteral("https://h/account/token/check2/?t=<redacted>"));
  const QString plain = QStringLiteral("getFileList - reply - {\"dir\":\"/home/a/passages\"}");
  EXPECT_EQ(zlog::redactJsonText(plain), plain);
  EXPECT_EQ(zlog::redactSecret(QStringLiteral("h4ndle")), QStringLiteral("<redacted>"));
  EXPECT_EQ(zlog::redactSecret(QString()), QString());
}

// A frame logged on a refusal: its first 512 bytes, never half a character,
// and its length; a secret the cut falls into is still masked.
TEST(LogExcerpt, KeepsTheFirstBytesAndTheLength) {
  EXPECT_EQ(zlog::excerpt(QStringLiteral("short")), QStringLiteral("short"));
  const QString exact(512, QLatin1Char('a'));
  EXPECT_EQ(zlog::excerpt(exact), exact);
  const QString wide = QString(511, QLatin1Char('a')) + QString::fromUtf8("\xc3\xa9") + QString(5000, QLatin1Char('b'));
  const QString cut = zlog::excerpt(wide);
  EXPECT_EQ(cut, QString(511, QLatin1Char('a')) + QStringLiteral(" ... [5513 bytes]"));
  EXPECT_EQ(zlog::excerpt(wide.toUtf8()), cut);
  const QString huge = QString(100000, QChar(0x4e2d));  // three bytes each
  EXPECT_EQ(zlog::excerpt(huge), QString(170, QChar(0x4e2d)) + QStringLiteral(" ... [300000 bytes]"));
  const QString secret = QString(490, QLatin1Char(' ')) + QStringLiteral(R"({"Token":"abcdefghijklmnopqrstuvwxyz"})");
  EXPECT_FALSE(zlog::redactJsonText(zlog::excerpt(secret)).contains(QStringLiteral("abc")));
}

}  // namespace
