#include "core/localized.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTranslator>

#include <gtest/gtest.h>

TEST(Localized, LanguageRule) {
  EXPECT_EQ(localizedTableName(QLocale(QLocale::Chinese, QLocale::TraditionalHanScript, QLocale::Taiwan)),
            QStringLiteral("zh-Hans"));
  EXPECT_EQ(localizedTableName(QLocale(QLocale::Chinese, QLocale::HongKong)), QStringLiteral("zh-Hans"));
  EXPECT_EQ(localizedTableName(QLocale(QLocale::French, QLocale::France)), QStringLiteral("en"));
  EXPECT_EQ(localizedTableName(QLocale::c()), QStringLiteral("en"));
}

// Qt's own dialogs follow the user's language where Qt's texts are installed.
TEST(Localized, QtsOwnTextsInTheUsersLanguage) {
  const QString lookIn = QStringLiteral("Look in:");
  if (!installQtTranslations(QCoreApplication::instance(), QLocale(QLocale::Chinese, QLocale::China)))
    GTEST_SKIP() << "Qt's translations are not installed";
  EXPECT_NE(QCoreApplication::translate("QFileDialog", "Look in:"), lookIn);
  const QList<QTranslator*> installed = QCoreApplication::instance()->findChildren<QTranslator*>();
  for (QTranslator* translator : installed) QCoreApplication::removeTranslator(translator), delete translator;
  EXPECT_EQ(QCoreApplication::translate("QFileDialog", "Look in:"), lookIn);
}

TEST(Localized, LookupAndMissingKey) {
  EXPECT_EQ(localizedString(QStringLiteral("Sys_Button_OK"), QLocale(QLocale::Chinese)), QStringLiteral("确定"));
  EXPECT_EQ(localizedString(QStringLiteral("Sys_Button_OK"), QLocale(QLocale::English)), QStringLiteral("OK"));
  EXPECT_EQ(localizedString(QStringLiteral("No_Such_Key"), QLocale(QLocale::German)), QStringLiteral("No_Such_Key"));
  EXPECT_EQ(localizedKeyString(LocalizedStringKey(QStringLiteral("RS_Host_NotAvialableAndCheckPassword"))),
            QStringLiteral("RS_Host_NotAvialableAndCheckPassword"));
}

namespace {

QSet<QString> tableKeys(const QString& name) {
  QFile file(QStringLiteral(":/l10n/%1.json").arg(name));
  if (!file.open(QIODevice::ReadOnly)) return {};
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << name.toStdString();
  const QStringList keys = document.object().keys();
  return QSet<QString>(keys.begin(), keys.end());
}

}  // namespace

TEST(Localized, BothTablesCoverEveryKeyAndTheSameKeys) {
  const char* keys[] = {
      "Banner_Func_LocalSharing", "Banner_Func_RemoteSharing", "Banner_Func_SendFile", "Banner_Func_Settings",
      "Contact_AddFail", "Contact_AddSucc", "Contact_Contact", "Contact_ContactAdd", "Contact_ContactCode",
      "Contact_PleaseAdd", "Contact_SendCanceled", "Contact_SendNow", "LS_AccessCode", "LS_AccessCodeSetTitle",
      "LS_AccessURL", "LS_AsDefault", "LS_ChangeHost", "LS_CreateHost", "LS_Delete", "LS_Download",
      "LS_EditSharingTag", "LS_Enabled", "LS_NoHost", "LS_NoPassword", "LS_Remove", "LS_RemoveInfo",
      "LS_SharingFolder", "LS_Upload", "LS_VisitorCould", "Login_Button_Cancel", "Login_Button_Login",
      "Login_Busy", "Login_CheckYourInfo", "Login_Check_RememberMe", "Login_Email", "Login_LoginFailed", "Login_Password",
      "Login_SubTitle", "Login_YourEmail", "Login_YourPassword", "MemberType_Adv", "MemberType_Ano", "MemberType_Exp",
      "MemberType_FreeUser", "MemberType_Std", "RS_CreateFailed", "RS_Download_SaveAt", "RS_Download_Targets",
      "RS_FileList_CDate", "RS_FileList_DelConfirm", "RS_FileList_Desc", "RS_FileList_Name", "RS_FileList_Size",
      "RS_Host_Alias", "RS_Host_Name", "RS_Host_NotAvialable", "RS_Host_NotAvialableAndCheck",
      "RS_Host_NotAvialableAndCheckPassword", "RS_Host_NotEnabled", "RS_Host_Tag", "RS_Host_TitleAdd", "RS_Reconnect",
      "RS_RemoteHost", "RS_RemoveConfirm", "RS_RemoveDone", "RS_UpdateFailed", "RS_Upload_Choose",
      "RS_Upload_Finished", "RS_Upload_Overwrite", "RS_Upload_Title", "Receive_SendingToYou", "Settings_DFFile",
      "Settings_UpgradeConfirm", "Settings_UpgradeNow", "Sys_Button_Add", "Sys_Button_Cancel", "Sys_Button_Delete",
      "Sys_Button_Download", "Sys_Button_Edit", "Sys_Button_OK", "Sys_Button_Refresh", "Sys_Button_Remove",
      "Sys_Button_Upload", "Sys_Initing", "Sys_Loading", "Sys_LoginIn", "Sys_SubTitle", "Sys_Toast_CharNum",
      "Sys_Toast_NoYourself", "Sys_Toast_ValidEmail", "Sys_Update_Failed", "Sys_Update_Succ",
      // Texts that elements look up as keys.
      "Cancel", "Connectting...", "Customize the access URL", "Download", "Edit Tag:", "No Data.", "Remove Contact?",
      "Sharing File", "The URL to access", "The path of the sharinhg object", "Upgrage to new version?", "Zarkelo",
      "高级设置", "微信扫码后，在小程序中进行设置", "无须注册，微信扫码，直接登录", "退出", "您确定要退出『Zarkelo』吗？",
      "退出后所有共享将被停止", "设置", "启用剪贴板推送"};
  const QSet<QString> en = tableKeys(QStringLiteral("en"));
  const QSet<QString> zh = tableKeys(QStringLiteral("zh-Hans"));
  for (const char* raw : keys) {
    const QString key = QString::fromUtf8(raw);
    EXPECT_TRUE(en.contains(key)) << "en lacks " << raw;
    EXPECT_TRUE(zh.contains(key)) << "zh-Hans lacks " << raw;
  }
  // A key added to one table only would show its identifier in the other language.
  for (const QString& key : en - zh) ADD_FAILURE() << "only in en: " << key.toStdString();
  for (const QString& key : zh - en) ADD_FAILURE() << "only in zh-Hans: " << key.toStdString();
  for (const QString& key : en) {
    EXPECT_FALSE(localizedString(key, QLocale(QLocale::English)).isEmpty());
    EXPECT_FALSE(localizedString(key, QLocale(QLocale::Chinese)).isEmpty());
  }
  EXPECT_EQ(localizedString(QStringLiteral("Zarkelo"), QLocale(QLocale::Chinese)), QStringLiteral("Zarkelo"));
  EXPECT_EQ(localizedString(QStringLiteral("退出"), QLocale(QLocale::English)), QStringLiteral("Quit"));
}
