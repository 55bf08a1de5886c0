// The contact screens in the main window: the send-file page reached from the
// navigation, the editor sheet and the receive panel, driven by their buttons.
// Pictures go to the build folder's "screenshots" for people to look at.
#include "contacts/contacts_views.h"
#include "contacts/view_contact.h"
#include "contacts/view_contact_add_person.h"
#include "contacts/view_receive_file.h"
#include "core/localized.h"
#include "fake_port.h"
#include "shell/dialog_views.h"
#include "shell/main_view.h"
#include "shell/main_view_parts.h"
#include "shell/symbol_button.h"
#include "support/screen_fit.h"
#include "support/test_util.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

namespace {

class ContactViews : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    installContactsViews(view, port);
    view.resize(900, 620);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.state().isShowLogin.set(false);
  }
  void TearDown() override { Env::MainViewShared = nullptr; }

  void save(const char* name) {
    screenfit::checkScreen(view, QStringLiteral("%1_contacts_%2").arg(QString::fromLatin1(GetParam()),
                                                                     QString::fromLatin1(name)));
  }
  ViewContact* page() { return qobject_cast<ViewContact*>(view.currentPage()); }

  screenfit::LanguageScope language{GetParam()};  // before the window is built
  SignedIn account;
  FakePort port;
  MainView view;
};

}  // namespace

TEST_P(ContactViews, ContactsPageEditorAndSendPanel) {
  ContactPerson amy;
  amy.uuid_cp = QStringLiteral("u1");
  amy.cpmail = QStringLiteral("amy@example.com");
  amy.aliasname = QStringLiteral("Amy");
  ASSERT_TRUE(InsertContactPerson(amy));

  ASSERT_NE(view.navItem(2), nullptr);
  QTest::mouseClick(view.navItem(2), Qt::LeftButton);
  ASSERT_NE(page(), nullptr);
  QTest::qWait(20);  // the page appears (and loads its list) once shown
  ViewContact& contacts = *page();
  ASSERT_EQ(contacts.rows().size(), 1);
  EXPECT_TRUE(contacts.rows()[0]->isSelected());
  EXPECT_TRUE(contacts.sendPanel()->isVisible());
  EXPECT_TRUE(contacts.editButton()->isEnabled());
  EXPECT_EQ(contacts.headerTitle()->text(), L("Contact_Contact") + QStringLiteral(" (1/5)"));
  contacts.send().BuildUploadSummary(3, QStringLiteral("holiday.jpg"), 5 * 1024 * 1024);
  contacts.send().uploadTarget = QStringLiteral("/home/me/Pictures/holiday.jpg|/home/me/Pictures/2026");
  emit contacts.send().changed();
  save("page");

  // The editor, opened by the add button; typing writes into the page's record.
  QTest::mouseClick(contacts.addButton(), Qt::LeftButton);
  auto* editor = qobject_cast<ViewContactAddPerson*>(contacts.findChild<ViewContactAddPerson*>());
  ASSERT_NE(editor, nullptr);
  QTest::keyClicks(editor->mailField(), QStringLiteral("bob@example"));
  QTest::keyClicks(editor->aliasField(), QStringLiteral("Bob"));
  EXPECT_EQ(contacts.list().contactPerson.cpmail, QStringLiteral("bob@example"));
  QTest::mouseClick(editor->okButton(), Qt::LeftButton);
  save("editor_invalid");
  EXPECT_EQ(editor->editor().toast().toast().title, L("Sys_Toast_ValidEmail"));
  QTest::keyClicks(editor->mailField(), QStringLiteral(".com"));
  QTest::keyClicks(editor->codeField(), QStringLiteral("B0B"));
  QTest::mouseClick(editor->okButton(), Qt::LeftButton);
  ASSERT_EQ(port.count("CallHttp"), 1);
  port.last("CallHttp").answer(vex::Json(std::string(R"({"Result":1,"Info":true})")));
  ASSERT_EQ(contacts.rows().size(), 2);
  save("page_added");
  contacts.list().toast.dismiss();  // pictured; the next screens show without it

  // Edit mode locks the address and the code.
  contacts.list().selectContact(1);
  QTest::mouseClick(contacts.editButton(), Qt::LeftButton);
  editor = contacts.findChild<ViewContactAddPerson*>();
  ASSERT_NE(editor, nullptr);
  EXPECT_FALSE(editor->mailField()->isEnabled());
  EXPECT_FALSE(editor->codeField()->isEnabled());
  EXPECT_TRUE(editor->aliasField()->isEnabled());
  save("editor_edit");
  QTest::mouseClick(editor->cancelButton(), Qt::LeftButton);

  // Waiting for the contact: the count-down and Cancel.
  contacts.send().vcsState = ViewContactState::vcsWaitingUser;
  contacts.send().iWaitRemoteCounter = 4;
  emit contacts.send().changed();
  EXPECT_TRUE(contacts.cancelButton()->isVisible());
  save("page_waiting");

  // Removing both contacts leaves the notice in place of the send panel.
  contacts.send().vcsState = ViewContactState::vcsStopped;
  emit contacts.send().changed();
  QTest::mouseClick(contacts.removeButton(), Qt::LeftButton);
  save("remove_question");
  auto* question = contacts.findChild<DialogConfirmView*>();
  ASSERT_NE(question, nullptr);
  QTest::mouseClick(question->okButton(), Qt::LeftButton);
  EXPECT_FALSE(contacts.list().isShowDeleteContactConfirm.value());
  ASSERT_EQ(contacts.rows().size(), 1);
  EXPECT_EQ(contacts.list().cpSelected.cpmail, QStringLiteral("amy@example.com"));
  contacts.list().removeContact();
  EXPECT_TRUE(contacts.rows().isEmpty());
  EXPECT_FALSE(contacts.editButton()->isEnabled());
  QTest::qWait(50);
  EXPECT_TRUE(contacts.pleaseAdd()->isVisible());
  save("page_empty");
}

TEST_P(ContactViews, ReceivePanelWaitsThenShowsProgress) {
  MainViewState& state = view.state();
  CtlViewReceiveFile& record = state.ctlViewReceiveFile();
  record.Session = QStringLiteral("ann-2|me-1");
  record.Summary = QStringLiteral("<b>holiday.jpg</b>(3 objects) 5 MB");
  record.FromUser = QStringLiteral("<b>Ann</b>");
  record.isShowView = true;
  state.receiveFilePanelChanged();
  auto* panel = qobject_cast<ViewReceiveFile*>(view.presentedSheet(state.isShowReceiveFile));
  ASSERT_NE(panel, nullptr);
  EXPECT_TRUE(panel->okButton()->isVisible());
  EXPECT_TRUE(panel->folderField()->text().endsWith(QStringLiteral("Kelvor/MyReceived")));
  // The peer's texts are shown as they came, never rendered.
  int marked = 0;
  for (const QLabel* label : panel->findChildren<QLabel*>()) {
    if (!label->text().contains(QLatin1String("<b>"))) continue;
    ++marked;
    EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
  }
  EXPECT_EQ(marked, 2);  // the title and the offer
  record.iCountDown = 21;
  panel->refresh();
  save("receive_waiting");

  QTest::mouseClick(panel->okButton(), Qt::LeftButton);
  EXPECT_EQ(record.taskState, panel->folderField()->text());
  EXPECT_FALSE(panel->okButton()->isVisible());
  EXPECT_TRUE(panel->runningBox()->isVisible());
  panel->logic().onTimer();
  port.last("RefreshRemoteUploadStatus_FromLocal")
      .answer(vex::Json::parse(R"({"TotalCount":3,"TotalTaskDoneCount":1,"Progress":64,
        "CurrentTaskFile":"/home/me/Pictures/2026/beach.jpg","CurrentTaskSpeed":"2.1 MB/s"})"));
  save("receive_running");

  // Cancel now cancels the receive rather than refusing.
  QTest::mouseClick(panel->cancelButton(), Qt::LeftButton);
  EXPECT_EQ(port.count("CancelFileReceive_FromLocal"), 1);
  EXPECT_NE(record.taskState, QStringLiteral("2"));
  QTest::qWait(50);
  EXPECT_EQ(view.presentedSheet(state.isShowReceiveFile), nullptr);
  EXPECT_EQ(state.toast.toast().title, L("Contact_TransferCanceled"));
}

INSTANTIATE_TEST_SUITE_P(Languages, ContactViews, testing::Values("en_US", "zh_CN"));
