#include "review/scene_tree_view.h"

#include "fakes/fake_scene_tree_commands.h"
#include "fakes/screenshot.h"
#include "fakes/session_builder.h"
#include "fakes/test_application.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

namespace vidorel {
namespace {
using testing::FakeSceneTreeCommands;
using testing::SessionBuilder;

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment());

// Runs xdotool without waiting for the Qt side: a drag runs its own loop,
// so the pointer is moved from a separate process while events are pumped.
QProcess* xdotool(const QStringList& arguments) {
  auto* process = new QProcess;
  process->start(QStringLiteral("xdotool"), arguments);
  return process;
}

void finish(QProcess* process) {
  QElapsedTimer timer;
  timer.start();
  while (process->state() != QProcess::NotRunning && timer.elapsed() < 10000)
    QTest::qWait(20);
  delete process;
}

TEST(SceneTreeDesktop, DraggingAHeaderWithTheRealPointerMovesTheScene) {
  SessionBuilder builder;
  int first = builder.scene("Opening");
  builder.scene();
  int third = builder.scene();
  builder.select(first, builder.take(first, 0, 12.5));
  builder.take(first, 0, 30);
  builder.take(third, 2.4, 65.9, "Demo");
  Session session = builder.build();
  auto commands = std::make_shared<FakeSceneTreeCommands>();
  SceneTreeView view(commands);
  view.setWindowTitle("Scene tree");
  view.resize(260, 260);
  view.move(40, 40);
  view.setSession(session);
  view.setPreviewingTakeID(session.scenes[0].takes[1].id);

  QImage image = testing::saveScreenshot(view, "scene_tree");
  ASSERT_FALSE(image.isNull());
  EXPECT_GT(testing::distinctColours(image), 8);

  auto dragWithThePointer = [](QWidget* from, QWidget* to) {
    QPoint start = from->mapToGlobal(QPoint(60, from->height() / 2));
    QPoint end = to->mapToGlobal(QPoint(60, to->height() / 2));
    auto num = [](int value) { return QString::number(value); };
    finish(xdotool({"mousemove", num(start.x()), num(start.y())}));
    QTest::qWait(100);
    finish(xdotool({"mousedown",
                    "1",
                    "sleep",
                    "0.2",
                    "mousemove",
                    num(start.x() + 5),
                    num(start.y() + 5),
                    "sleep",
                    "0.2",
                    "mousemove",
                    num(end.x()),
                    num(end.y() - 2),
                    "sleep",
                    "0.2",
                    "mousemove",
                    num(end.x()),
                    num(end.y()),
                    "sleep",
                    "0.3",
                    "mouseup",
                    "1"}));
    QTest::qWait(300);
  };

  const Uuid& opening = session.scenes[0].id;
  const Uuid& second = session.scenes[1].id;
  const Uuid& last = session.scenes[2].id;
  const Uuid& demo = session.scenes[2].takes[0].id;
  dragWithThePointer(view.sceneHeader(last), view.sceneHeader(opening));
  dragWithThePointer(view.takeRow(demo), view.sceneHeader(second));

  EXPECT_EQ(commands->calls,
            (std::vector<std::string>{"moveScene " + last.string() + " " + opening.string(),
                                      "moveTake " + demo.string() + " " + second.string()}));
}

} // namespace
} // namespace vidorel
