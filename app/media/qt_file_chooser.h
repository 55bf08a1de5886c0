// The widget-based file and folder chooser (QFileDialog).
#pragma once

#include "core/file_chooser.h"

class QtFileChooser : public FileChooser {
 public:
  void open(const FileChooserOptions& options, Done done) override;
  std::pair<int, QList<QUrl>> openModal(const FileChooserOptions& options) override;
};

// Makes QtFileChooser the chooser of UtilSystem::openPanel; called once at start-up.
void installQtFileChooser();
