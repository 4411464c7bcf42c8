// Quality control through ostrel-cli against ostrel-sim on a pseudo-terminal:
// QC Auto leaves the reference image on the cartridge (read back with
// ostrel-sim dump), a failing step ends with its fault code, and the
// customer build refuses the command.
#include <gtest/gtest.h>

#include "e2e/cli_run.h"
#include "e2e/each_link.h"
#include "e2e/sim_process.h"
#include "packages/flash_image.h"

namespace ostrel {
namespace {

using test::PortDir;
using test::ProcessRun;
using test::SimProcess;

// An Ostrel II of 128 sectors takes about two minutes over a pseudo-terminal.
constexpr int kQcAutoLimitMs = 280000;

// QC Auto on a blank cartridge; afterwards the sectors the reference image
// writes hold it, and its blank sector holds what the plan leaves there.
void qcAutoLeavesTheImage(const char* type, const char* image, bool erasesOnlyWritten,
                          const QStringList& link) {
  PortDir dir;
  const QString cartridge = QString::fromStdString(dir.path + "/module.cart");
  SimProcess sim(dir.path, "module",
                 {"--type", type, "--cartridge", cartridge.toStdString(), "--preset", "blank"});
  ASSERT_TRUE(sim.running());
  const ProcessRun r = test::runProcess(
      OSTREL_CLI_PATH,
      QStringList{"--mode", "0", "--yes", "--port", QString::fromStdString(sim.link()), "qc", "auto"} + link,
      kQcAutoLimitMs);
  EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
  EXPECT_TRUE(r.out.contains("Q.C test OK!!"));
  sim.stop();

  const QByteArray text = test::readFile(QString(OSTREL_QC_IMAGE_DIR "/") + image);
  const FlashImageLoad want = convertSRecords(
      std::span(reinterpret_cast<const uint8_t*>(text.data()), size_t(text.size())), 256);
  ASSERT_TRUE(want.fault.empty());
  const QByteArray got = test::dumpCartridge(cartridge, QString::fromStdString(dir.path + "/dump"),
                                             0, int(want.blockCount) - 1);
  ASSERT_EQ(size_t(got.size()), want.image.size());
  for (size_t s = 0; s < want.blockCount; ++s) {
    std::vector<uint8_t> expected(want.image.begin() + ptrdiff_t(s * 65536),
                                  want.image.begin() + ptrdiff_t((s + 1) * 65536));
    if (expected == std::vector<uint8_t>(65536, 0xFF) && erasesOnlyWritten)
      for (size_t i = 0; i < expected.size(); ++i) expected[i] = uint8_t(i);  // step 2's pattern
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                           reinterpret_cast<const uint8_t*>(got.data()) + s * 65536))
        << "sector " << s;
  }
}

class QcE2E : public test::OnEachLink {};
INSTANTIATE_TEST_SUITE_P(Links, QcE2E, ::testing::ValuesIn(test::kEachLink), test::linkCaseName);

TEST_P(QcE2E, QcAutoOnAnOstrelTwo) {
  qcAutoLeavesTheImage("80", "QC_8M.HX", false, linkArgs());
}

TEST_P(QcE2E, QcAutoOnAnOstrelThree) {
  qcAutoLeavesTheImage("84", "QC_8M_OST3.HX", true, linkArgs());
}

TEST_P(QcE2E, AFailingStepEndsWithItsFaultCodeAndTheCustomerBuildRefuses) {
  PortDir dir;
  SimProcess sim(dir.path, "module", {"--type", "84", "--fault", "qc-fail=backslash"});
  ASSERT_TRUE(sim.running());
  const QString port = QString::fromStdString(sim.link());
  const ProcessRun failed =
      test::runCli(QStringList{"--mode", "1", "--yes", "--port", port, "qc", "auto"} + linkArgs());
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_TRUE(failed.out.contains("Q.C test fail!!")) << failed.out.toStdString();
  EXPECT_TRUE(failed.err.contains("Fault code:1001")) << failed.err.toStdString();

  const ProcessRun refused = test::runCli(QStringList{"--port", port, "qc", "blank"} + linkArgs());
  EXPECT_EQ(refused.exitCode, 2);
}

}  // namespace
}  // namespace ostrel
