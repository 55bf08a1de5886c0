// Host thumbnails: small JPEG previews of files named by a peer, decoded by
// confined helper processes (host_side/thumbnail_helpers.h) from descriptors
// opened here, and answered in one JSON array text once the last is in.
// Names wait in a bounded queue per session and for the host; a file is
// opened only when a helper is free for it.
#pragma once

#include <QImage>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

#include "core/vex_json.h"

class PathGuard;

using IconCompletion = std::function<void(const QString& result)>;

// How many names may wait for a helper, per asking session and for the host
// as a whole; names beyond them are answered at once without a picture.
inline constexpr int kThumbnailsWaitingPerSession = 64;
inline constexpr int kThumbnailsWaitingPerHost = 256;

// How long one file's thumbnail may take; after that the file is answered
// without a picture.
inline constexpr std::chrono::milliseconds kThumbnailTimeLimit{4000};

// `fileList` is the request's "fileList" value: the JSON text of an array of
// "path|index" texts, or such an array itself. Elements the gate refuses, that
// name no regular file, or that carry no integer index are left out and do not
// hold the answer back. The completion runs once, on the main thread; it is
// not called for a list text that is not JSON (logged as "error: ").
// A file that has waited and been made past the time limit, or on which a
// helper failed (crash, limit, time), is answered without a picture; the
// latter again at once when `session` asks for it before it lists a
// folder again (startThumbnailListing). Files are made within the peers'
// share of the host's time (host_side/host_turns.h), what each cost (the
// helper's and the worker's processor time) charged to `account` (the
// session itself when none).
void answerBuildIcon2(const PathGuard& guard, qint64 size, const vex::Json& fileList, IconCompletion completion,
                      const QString& session = {}, const QString& account = {});

// The peer session lists a folder: files that failed before are tried again.
void startThumbnailListing(const QString& session);
// The peer session ended: its files still waiting are answered without a
// picture and leave the queue, and what it remembered is forgotten.
void endThumbnailSession(const QString& session);

// "data:image/jpg;base64," and the JPEG (quality 60) of the image; empty for a
// null image.
QString jpegDataUrl(const QImage& image);

// Pixels per point of the main screen (1 without a screen).
qreal backingScale();

// Makes one picture on a worker thread in place of the helpers.
using ThumbnailMaker = std::function<std::optional<QImage>(const QString& path, double width, double height,
                                                           double scale)>;
// Tests and benchmarks replace the maker (an empty one restores the helpers)
// and the time limit (which also bounds a helper's answer).
void setThumbnailMakerForTesting(ThumbnailMaker make, std::chrono::milliseconds limit = kThumbnailTimeLimit);
