#include "local_sharing/ui/tag_editor_controller.h"

#include "shell/view_handles.h"
#include "core/localized.h"
#include "core/util_system.h"
#include "local_sharing/share_store.h"

#include <QCoreApplication>
#include <QMetaObject>

TagEditorController::TagEditorController(ShowFlag& isShowDialog, SharingObjPtr share, QObject* parent)
    : QObject(parent), isShowDialog_(&isShowDialog), share_(std::move(share)), tagValue_(share_->tag) {}

void TagEditorController::setTagValue(const QString& value) {
  if (tagValue_ == value) return;
  tagValue_ = value;
  emit tagValueChanged(value);
}

void TagEditorController::save() {
  if (tagValue_ == share_->tag) {
    close();
    return;
  }
  if (!UtilSystem::isValidAccountName(tagValue_)) {
    showMessage(L("Sys_Toast_CharNum"));
    return;
  }
  // The share's own tag counts as taken too, in any letter case.
  if (shareExists(tagValue_)) {
    showMessage(L("LS_ExistsSharingTag"));
    return;
  }
  const QString previous = share_->tag;
  share_->tagOld = previous;
  share_->tag = tagValue_;
  if (!saveShare(*share_)) {
    // Nothing was renamed in the database: the share keeps its tag in memory
    // too, and the typed tag stays in the field.
    share_->tag = previous;
    share_->tagOld.clear();
    showMessage(L("Sys_Update_Failed"));
    return;
  }
  // Close after the current update, with the new URL in place.
  SharingObjPtr share = share_;
  QPointer<ShowFlag> flag = isShowDialog_;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [share, flag] {
        share->refreshTagURL();
        if (flag) flag->set(false);
      },
      Qt::QueuedConnection);
}

void TagEditorController::cancel() {
  share_->tagOld.clear();
  close();
}

void TagEditorController::close() {
  if (isShowDialog_) isShowDialog_->set(false);
}

void TagEditorController::showMessage(const QString& text) {
  toast_.show(
      makeToast(AlertToast::Type::systemImage, QStringLiteral("yellow"), text, QStringLiteral("info.square.fill")));
}
