#include "core/localized.h"

#include <gtest/gtest.h>

TEST(Localized, LanguageRule) {
  EXPECT_EQ(localizedTableName(QLocale(QLocale::Chinese, QLocale::TraditionalHanScript, QLocale::Taiwan)),
            QStringLiteral("zh-Hans"));
  EXPECT_EQ(localizedTableName(QLocale(QLocale::Chinese, QLocale::HongKong)), QStringLiteral("zh-Hans"));
  EXPECT_EQ(localizedTableName(QLocale(QLocale::French, QLocale::France)), QStringLiteral("en"));
  EXPECT_EQ(localizedTableName(QLocale::c()), QStringLiteral("en"));
}

TEST(Localized, LookupAndMissingKey) {
  EXPECT_EQ(localizedString(QStringLiteral("Sys_Button_OK"), QLocale(QLocale::Chinese)), QStringLiteral("确定"));
  EXPECT_EQ(localizedString(QStringLiteral("Sys_Button_OK"), QLocale(QLocale::English)), QStringLiteral("OK"));
  EXPECT_EQ(localizedString(QStringLiteral("No_Such_Key"), QLocale(QLocale::German)), QStringLiteral("No_Such_Key"));
  EXPECT_EQ(localizedKeyString(LocalizedStringKey(QStringLiteral("RS_Host_NotAvialableAndCheckPassword"))),
            QStringLiteral("RS_Host_NotAvialableAndCheckPassword"));
}
