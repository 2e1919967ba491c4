#include "AppTestSupport.h"

#include "ConversionController.h"
#include "Language.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QPushButton>
#include <QStandardPaths>

#include <clocale>

namespace apptest {

WindowFixture::WindowFixture()
{
    const int fromEnv = qEnvironmentVariableIntValue("SPINDRA_TEST_QUIET_MS");
    quietMs = fromEnv > 0 ? fromEnv : 500;
}

bool WindowFixture::prepare(const Options& options)
{
    if (!configDir.isValid() || !workDir.isValid()) {
        errorText = QStringLiteral("cannot create the temporary folders");
        return false;
    }
    isolateWindowTest(configDir);
    outDir = workDir.filePath(QStringLiteral("out"));
    if (!QDir().mkpath(outDir)) {
        errorText = QStringLiteral("cannot create ") + outDir;
        return false;
    }
    if (options.english) {
        if (!translator.load(Language::catalogueEnglish())) {
            errorText = QStringLiteral("cannot load ") + Language::catalogueEnglish();
            return false;
        }
        QCoreApplication::installTranslator(&translator);
    }
    if (options.withDevice) {
        if (!sim.start(options.simArgs)) {
            errorText = QStringLiteral("fan-sim: ") + sim.errorText;
            return false;
        }
        exportAddress(sim); // before the window makes the connection manager
    }
    window = std::make_unique<HomeWindow>();
    if (options.fakePipeline)
        pipeline = useFakePipeline(*window);
    window->setMediaInfoDelay(options.mediaInfoDelayMs);
    window->setFolderOpener([this](const QString& dir) { openedFolders << dir; });
    dialogs.attach(*window);
    return true;
}

bool WindowFixture::show()
{
    if (!window) {
        errorText = QStringLiteral("show() before prepare()");
        return false;
    }
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get())) {
        errorText = QStringLiteral("the window was never exposed");
        return false;
    }
    // Nothing a test starts may write to the real desktop folder.
    window->selectOutputFolder(outDir);
    return true;
}

bool WindowFixture::finish(int idleTimeoutMs)
{
    bool idle = true;
    if (window) {
        auto* convert = window->findChild<QPushButton*>(QStringLiteral("convertButton"));
        idle = QTest::qWaitFor(
            [&] { return !window->isBusy() && (!convert || convert->isEnabled()); }, idleTimeoutMs);
        window.reset();
    }
    sim.stop();
    QCoreApplication::removeTranslator(&translator);
    return idle;
}

QString WindowFixture::workFile(const QString& stem, const QString& suffix) const
{
    return workDir.filePath(uniqueName(stem, suffix));
}

bool WindowFixture::loadVideo(const QString& path, int timeoutMs)
{
    return window && chooseVideoAndWait(*window, path, timeoutMs);
}

bool WindowFixture::waitConnected(int timeoutMs)
{
    return window && QTest::qWaitFor([&] { return window->isDeviceConnected(); }, timeoutMs);
}

bool WindowFixture::holdQuiet(const std::function<bool()>& invariant) const
{
    return FanSimProcess::holdFor(quietMs, invariant);
}

FakePipeline* useFakePipeline(HomeWindow& window)
{
    auto fake = std::make_unique<FakePipeline>();
    FakePipeline* raw = fake.get();
    return window.conversionController()->setPipeline(std::move(fake)) ? raw : nullptr;
}

} // namespace apptest

QStringList tempLeftovers(const QString& input)
{
    const QString stem = QFileInfo(input).completeBaseName();
    QStringList found;
    QDirIterator it(QStandardPaths::writableLocation(QStandardPaths::TempLocation),
                    QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (QFileInfo(path).fileName().startsWith(stem))
            found << path;
    }
    return found;
}

QStringList fanFilesIn(const QString& dir)
{
    QStringList files;
    QDirIterator it(dir, {QStringLiteral("*.bin")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}
