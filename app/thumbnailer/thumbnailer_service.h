// The thumbnail helper's work: load every decoder and table while paths can
// still be opened, then answer requests one at a time on its channel.
#pragma once

namespace thumbnailer {

// Loads the image plugins, the table of video suffixes and Poppler's fonts,
// so that nothing needs a path once the process is confined.
void warmUp();

// Answers requests on `channel` until the client closes it or the helper
// retires; returns the process's exit code.
int serve(int channel);

}  // namespace thumbnailer
