// The window's look in three states, compared with stored pictures. The software scene graph
// draws the same pixels on every run on one machine; fonts or Qt versions that differ move
// glyph edges, which the tolerance absorbs, but not a missing, moved or recoloured section.
//
// KESTRIO_UPDATE_WINDOW_REFERENCES=1 rewrites the pictures instead of comparing (look at them
// before keeping them).
#include "window/window_harness_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>

#include <cstdlib>
#include <string>

namespace kestrio::test {
namespace {

// A pixel differs when a channel is off by more than this; a picture matches while at most this
// many differ (a glyph's worth: the smallest element of the window, the "LIVE" badge, is several
// times as many).
constexpr int channelTolerance = 32;
constexpr long differingPixels = 40;

bool updatingReferences()
{
    const char* update = std::getenv("KESTRIO_UPDATE_WINDOW_REFERENCES");
    return update && std::string(update) == "1";
}

void expectMatchesReference(const QImage& picture, const QString& name)
{
    const QString path = QDir(QStringLiteral(KESTRIO_WINDOW_REFERENCES)).filePath(name + QStringLiteral(".png"));
    const QImage actual = picture.convertToFormat(QImage::Format_RGB32);
    if (updatingReferences()) {
        ASSERT_TRUE(actual.save(path)) << "cannot write " << path.toStdString();
        return;
    }
    const QImage reference = QImage(path).convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(reference.isNull()) << "no reference picture " << path.toStdString()
                                     << " (KESTRIO_UPDATE_WINDOW_REFERENCES=1 writes it)";
    // Kept for a look when the comparison fails.
    const QString actualPath = QDir::current().filePath(name + QStringLiteral("-actual.png"));
    ASSERT_EQ(actual.size(), reference.size());
    long differing = 0;
    for (int y = 0; y < actual.height(); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(actual.constScanLine(y));
        const auto* r = reinterpret_cast<const QRgb*>(reference.constScanLine(y));
        for (int x = 0; x < actual.width(); ++x) {
            const bool same = std::abs(qRed(a[x]) - qRed(r[x])) <= channelTolerance &&
                              std::abs(qGreen(a[x]) - qGreen(r[x])) <= channelTolerance &&
                              std::abs(qBlue(a[x]) - qBlue(r[x])) <= channelTolerance;
            differing += same ? 0 : 1;
        }
    }
    ::testing::Test::RecordProperty("differing_pixels", static_cast<int>(differing));
    if (differing > differingPixels)
        actual.save(actualPath);
    EXPECT_LE(differing, differingPixels) << "pixels differ from " << path.toStdString() << "; this run's picture is "
                                          << actualPath.toStdString();
}

TEST(WindowPictures, WaitingForAViewer)
{
    WindowHarness harness;
    harness.router = std::make_shared<AnsweringRouter>();
    harness.open();
    expectMatchesReference(harness.render(), QStringLiteral("waiting"));
}

TEST(WindowPictures, StreamingToAViewer)
{
    WindowHarness harness;
    harness.router = std::make_shared<AnsweringRouter>();
    harness.open();
    // The viewer connects; starting on connection streams to the virtual monitor.
    harness.link->connect(true, "Minji의 iPhone");
    harness.settle();
    ASSERT_TRUE(harness.model->isStreaming());
    expectMatchesReference(harness.render(), QStringLiteral("streaming"));
}

TEST(WindowPictures, ListenerFailedWithoutPermissions)
{
    WindowHarness harness;
    harness.link->startThrows = true;
    harness.permissions->captureOK = false;
    harness.permissions->trusted = false;
    harness.localAddress.reset();
    harness.open();
    ASSERT_EQ(model::errorText(*harness.model), std::optional<std::string>("수신 대기 실패"));
    expectMatchesReference(harness.render(), QStringLiteral("error"));
}

}  // namespace
}  // namespace kestrio::test
