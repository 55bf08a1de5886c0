// Messages declared once for every side: what one side writes, the other reads.
#include "protocol/transfer_progress.h"

#include <gtest/gtest.h>

using protocol::TransTaskProgress;

TEST(ProtocolMessages, ProgressReadsBackEveryFieldTheBridgeWrites) {
  TransTaskProgress written;
  written.TaskStatus = 1;
  written.TotalTaskCount = 3;
  written.TotalTaskDoneCount = 2;
  written.CurrentTaskFile = QStringLiteral("/home/me/b.bin");
  written.CurrentTaskSpeed = QStringLiteral("1 MB/s");
  written.CurrentTaskPercent = 42.5;
  written.WorkingSpeed = QStringLiteral("3 MB/s");
  written.WorkingIndex = 2;
  written.ForceCancel = 1;
  written.CurrentTaskFileSize = 5'000'000'000;
  written.TotalTaskSize = 7'000'000'000;
  written.HostReason = QStringLiteral("Error: Permission denied");
  const vex::Json json = written.toJSONModel();
  EXPECT_EQ(TransTaskProgress::read(json).toJSONModel(), json);
  EXPECT_EQ(json.value("HostReason", std::string()), "Error: Permission denied");

  // Wrong kinds read as the defaults; numbers given as text are taken.
  const TransTaskProgress odd = TransTaskProgress::read(
      vex::Json{{"TaskStatus", "1"}, {"CurrentTaskPercent", "12.5"}, {"CurrentTaskFile", 7}, {"WorkingIndex", {1}}});
  EXPECT_EQ(odd.TaskStatus, 1);
  EXPECT_DOUBLE_EQ(odd.CurrentTaskPercent, 12.5);
  EXPECT_EQ(odd.CurrentTaskFile, QStringLiteral("7"));
  EXPECT_EQ(odd.WorkingIndex, 0);
  EXPECT_EQ(TransTaskProgress::read(vex::Json::array()).toJSONModel(), TransTaskProgress{}.toJSONModel());
}
