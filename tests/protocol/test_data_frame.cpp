#include "protocol/data_frame.h"

#include <gtest/gtest.h>

using namespace protocol;

namespace {

DataFrameHeader sampleHeader() {
    DataFrameHeader h;
    h.session = "C-caller|C-host";
    h.transfer = "x-42";
    h.file = 7;
    h.offset = (quint64(1) << 40) + 3;
    return h;
}

}  // namespace

TEST(DataFrame, RoundTripKeepsHeaderAndBytes) {
    QByteArray payload(70000, '\0');
    for (int i = 0; i < payload.size(); ++i) payload[i] = char(i * 31);
    const QByteArray message = encodeDataFrame(sampleHeader(), payload);
    const auto frame = decodeDataFrame(message);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->header.session, "C-caller|C-host");
    EXPECT_EQ(frame->header.transfer, "x-42");
    EXPECT_EQ(frame->header.file, 7u);
    EXPECT_EQ(frame->header.offset, (quint64(1) << 40) + 3);
    EXPECT_EQ(frame->payload, QByteArrayView(payload));
    EXPECT_EQ(dataFrameSession(message).value(), "C-caller|C-host");
}

TEST(DataFrame, EmptyPayloadMarksAnEmptyFile) {
    const auto frame = decodeDataFrame(encodeDataFrame(sampleHeader(), {}));
    ASSERT_TRUE(frame);
    EXPECT_TRUE(frame->payload.isEmpty());
}

TEST(DataFrame, WriterRefusesWhatAReaderWouldRefuse) {
    DataFrameHeader h = sampleHeader();
    h.transfer = QByteArray(256, 't');
    EXPECT_TRUE(encodeDataFrame(h, "x").isEmpty());
    h = sampleHeader();
    h.session.clear();
    EXPECT_TRUE(encodeDataFrame(h, "x").isEmpty());
    h = sampleHeader();
    EXPECT_TRUE(encodeDataFrame(h, QByteArray(kMaxDataFramePayload + 1, 'x')).isEmpty());
}

TEST(DataFrame, EveryTruncationAndEveryTrailingByteIsRefused) {
    const QByteArray message = encodeDataFrame(sampleHeader(), "payload");
    for (qsizetype n = 0; n < message.size(); ++n)
        EXPECT_FALSE(decodeDataFrame(QByteArrayView(message).first(n))) << n;
    EXPECT_FALSE(decodeDataFrame(message + 'x'));
}

TEST(DataFrame, HostileHeadersAreRefused) {
    const QByteArray good = encodeDataFrame(sampleHeader(), "abc");
    QByteArray wrongVersion = good;
    wrongVersion[0] = 2;
    EXPECT_FALSE(decodeDataFrame(wrongVersion));
    EXPECT_FALSE(dataFrameSession(wrongVersion));
    QByteArray wrongKind = good;
    wrongKind[1] = 9;
    EXPECT_FALSE(decodeDataFrame(wrongKind));
    // A session size pointing past the end of the message.
    QByteArray longSession = good;
    longSession[2] = char(0xff);
    longSession[3] = char(0xff);
    EXPECT_FALSE(dataFrameSession(longSession));
    EXPECT_FALSE(decodeDataFrame(longSession));
    // A payload size that claims more than the limit.
    QByteArray bigPayload = good;
    const qsizetype sizeAt = good.size() - 3 - 4;
    bigPayload[sizeAt] = char(0xff);
    EXPECT_FALSE(decodeDataFrame(bigPayload));
    EXPECT_FALSE(decodeDataFrame(QByteArray()));
}

TEST(DataFrame, PackedSmallFilesComeBackWholeAndNothingElseIsTaken) {
    const QByteArray sha(32, 's');
    QByteArray payload;
    appendPackedFile(payload, 3, sha, "alpha");
    appendPackedFile(payload, 4, sha, QByteArray());  // an empty file
    appendPackedFile(payload, 9, sha, QByteArray(5000, 'z'));
    const auto files = decodePackedFiles(payload, 3, 32);
    ASSERT_TRUE(files);
    ASSERT_EQ(files->size(), 3u);
    EXPECT_EQ((*files)[0].file, 3u);
    EXPECT_EQ((*files)[0].bytes, "alpha");
    EXPECT_EQ((*files)[0].digest, QByteArrayView(sha));
    EXPECT_TRUE((*files)[1].bytes.isEmpty());
    EXPECT_EQ((*files)[2].bytes.size(), 5000);
    // A count that does not match, past the limit, a cut or a trailing byte.
    EXPECT_FALSE(decodePackedFiles(payload, 2, 32));
    EXPECT_FALSE(decodePackedFiles(payload, 4, 32));
    EXPECT_FALSE(decodePackedFiles(payload, 0, 32));
    EXPECT_FALSE(decodePackedFiles(QByteArray(), quint64(kMaxPackedFiles) + 1, 32));
    for (qsizetype n = 0; n < payload.size(); ++n) EXPECT_FALSE(decodePackedFiles(QByteArrayView(payload).first(n), 3, 32)) << n;
    EXPECT_FALSE(decodePackedFiles(payload + 'x', 3, 32));
    // A size field pointing past the end.
    QByteArray hostile;
    appendPackedFile(hostile, 1, sha, "ab");
    hostile[4] = char(0xff);
    EXPECT_FALSE(decodePackedFiles(hostile, 1, 32));
    // Checks of another size, as the two bridges agreed.
    QByteArray shorter;
    appendPackedFile(shorter, 2, QByteArray(16, 'x'), "ab");
    appendPackedFile(shorter, 5, QByteArray(16, 'y'), "cd");
    const auto two = decodePackedFiles(shorter, 2, 16);
    ASSERT_TRUE(two);
    EXPECT_EQ((*two)[1].digest, QByteArray(16, 'y'));
    EXPECT_EQ((*two)[1].bytes, "cd");
    EXPECT_FALSE(decodePackedFiles(shorter, 2, 32));
}
