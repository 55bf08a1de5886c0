// The settings page: the download folder (chosen, shown, opened), the
// clipboard-push switch. A thin view over SettingsController; built afresh
// each time the page is shown, which reloads the settings.
#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>

class SettingsController;
class QCheckBox;
class ElidedField;

class ViewSettings : public QWidget {
  Q_OBJECT
 public:
  using FolderChooser = std::function<void(const QString& title, std::function<void(const QString& path)> done)>;
  ViewSettings(SettingsController* controller, FolderChooser chooseFolder, QWidget* parent = nullptr);

 private:
  void refresh();

  QPointer<SettingsController> controller_;
  FolderChooser chooseFolder_;
  ElidedField* folder_ = nullptr;
  QCheckBox* clipboard_ = nullptr;
};
