// The contacts page: the contact list with its header buttons on the left,
// the send panel on the right, the page's toast, the contact editor sheet and
// the removal question.
#pragma once

#include "contacts/contact_list.h"
#include "contacts/contact_send.h"
#include "shell/dialog_settings.h"

#include <QList>
#include <QWidget>

class ElidedField;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;
class SymbolButton;

// One row of the contact list.
class ContactRow : public QWidget {
  Q_OBJECT
 public:
  ContactRow(const ContactPerson& contact, int index, QWidget* parent = nullptr);
  void setSelected(bool selected);
  bool isSelected() const { return selected_; }

 signals:
  void tapped(int index);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  int index_;
  bool selected_ = false;
};

class ViewContact : public QWidget {
  Q_OBJECT
 public:
  explicit ViewContact(ContactsPort& port, QWidget* parent = nullptr);

  ContactList& list() { return list_; }
  ContactSend& send() { return send_; }

  // For tests and screenshots.
  QLabel* headerTitle() const { return title_; }
  SymbolButton* addButton() const { return add_; }
  SymbolButton* editButton() const { return edit_; }
  SymbolButton* removeButton() const { return remove_; }
  const QList<ContactRow*>& rows() const { return rows_; }
  QWidget* sendPanel() const { return sendPanel_; }
  QWidget* pleaseAdd() const { return pleaseAdd_; }
  QPushButton* cancelButton() const { return cancel_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void refreshList();
  void refreshSend();

  ContactList list_;
  ContactSend send_;
  DialogConfirmSetting removeQuestion_;
  bool appeared_ = false;

  QLabel* title_;
  SymbolButton* add_;
  SymbolButton* edit_;
  SymbolButton* remove_;
  QVBoxLayout* rowsLayout_;
  QList<ContactRow*> rows_;
  QStackedWidget* right_;
  QWidget* pleaseAdd_;
  QWidget* sendPanel_;
  QLabel* logInfo_;
  ElidedField* target_;
  QWidget* stoppedButtons_;
  QWidget* connecting_;
  QLabel* countdown_;
  QWidget* waitingBox_;
  QPushButton* cancel_;
};
