#pragma once
// File bytes between two bridges travel as binary WebSocket messages: a small
// header and the raw bytes, never JSON or base64. The relay reads only the
// session from the header to route the message and forwards it unchanged.
// Control frames stay JSON text.
//
// Layout (integers big-endian):
//   u8  version        (kDataFrameVersion)
//   u8  kind           (kDataFrameKindFile)
//   u16 session size S, then S bytes: the relay session ("caller|host")
//   u8  transfer size T, then T bytes: the transfer id
//   u32 file index     (entry of the transfer's manifest)
//   u64 offset         (of the payload within that file)
//   u32 payload size N, then exactly N bytes of payload
//
// Several whole small files in one frame: the file index is kPackedFiles, the
// offset field holds their count (1..kMaxPackedFiles) and the payload, for
// each file in entry order:
//   u32 file index, u32 size M, D bytes of the M bytes' check, the M bytes
// D is the size of the check the two bridges agreed on for the transfer (32
// for SHA-256). A bridge sends such frames only to a peer that said it reads
// them; the relay forwards them like any other.
//
// A transfer's offer too long for one text message sends its list in frames
// whose file index is kOfferPart: the offset field holds the part's number
// (0, 1, ...) and the payload is JSON text (vantrel/transfer/transfer_parts.h).
#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>
#include <optional>
#include <vector>

namespace protocol {

inline constexpr quint8 kDataFrameVersion = 1;
inline constexpr quint8 kDataFrameKindFile = 1;
// Largest payload a reader accepts; writers choose their chunk size below it.
inline constexpr quint32 kMaxDataFramePayload = 8u * 1024 * 1024;
inline constexpr int kMaxDataFrameSession = 1024;
inline constexpr quint32 kPackedFiles = 0xFFFFFFFFu;
inline constexpr quint32 kMaxPackedFiles = 256;
inline constexpr quint32 kOfferPart = 0xFFFFFFFEu;

struct DataFrameHeader {
    QByteArray session;
    QByteArray transfer;  // at most 255 bytes
    quint32 file = 0;
    quint64 offset = 0;
};

struct DataFrame {
    DataFrameHeader header;
    QByteArrayView payload;  // points into the frame it was read from
};

// The whole message: header then payload. Returns an empty array when the
// session or transfer id is too long or the payload too large.
QByteArray encodeDataFrame(const DataFrameHeader& header, QByteArrayView payload);
// The header alone, for a writer that sends the payload right after it
// without copying the two together (`reserve`: room kept for more bytes).
QByteArray encodeDataFrameHead(const DataFrameHeader& header, qsizetype payloadSize, qsizetype reserve = 0);

// Reads a whole message; std::nullopt for anything malformed (unknown version
// or kind, sizes past the limits or the end, trailing bytes).
std::optional<DataFrame> decodeDataFrame(QByteArrayView message);

// The session alone, for routing: checks the version, kind and session size.
std::optional<QByteArrayView> dataFrameSession(QByteArrayView message);

struct PackedFile {
    quint32 file = 0;
    QByteArrayView digest;
    QByteArrayView bytes;
};
// Adds one file to the payload of a packed frame.
void appendPackedFile(QByteArray& payload, quint32 file, QByteArrayView digest, QByteArrayView bytes);
// The files of a packed frame's payload (`count` from its offset field, each
// check `digestBytes` long); std::nullopt unless exactly `count` well-formed
// files fill it.
std::optional<std::vector<PackedFile>> decodePackedFiles(QByteArrayView payload, quint64 count, qsizetype digestBytes);

}  // namespace protocol
