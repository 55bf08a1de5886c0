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
  const QString plain = QStringLiteral("getFileList - reply - {\"dir\":\"/home/a/passages\"}");
  EXPECT_EQ(zlog::redactJsonText(plain), plain);
  EXPECT_EQ(zlog::redactSecret(QStringLiteral("h4ndle")), QStringLiteral("<redacted>"));
  EXPECT_EQ(zlog::redactSecret(QString()), QString());
}

}  // namespace
