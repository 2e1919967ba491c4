// The convert workflow end to end without a device: a generated clip becomes a
// fan file in the model's folder under the output folder, named from the
// per-run identifier and the stored sequence number; images ignore the time
// fields; a failing conversion reports failure and opens nothing.
#include "AppTestSupport.h"

#include "HomeWindow.h"
#include "MPVWidget.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimeEdit>
#include <QTimer>
#include <QtTest>

#include <clocale>
#include <memory>

using namespace apptest;

class TestConvertWorkflow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void clipConvertsToNumberedFiles();
    void sequenceNumberWrapsAbove99999();
    void imageIgnoresTimeFields();
    void failingConversionReportsFailure();

private:
    template<typename T> T* child(const char* name) { return requireChild<T>(*window, name); }
    void loadClip();
    // Presses convert and waits for the job's end; returns the final status text.
    QString convertAndWait(bool doubleClick = false);

    QTemporaryDir configDir;
    QTemporaryDir workDir;
    QString clipPath;
    QString imagePath;
    QString outDir;
    QStringList openedFolders;
    QStringList progressTexts;
    std::unique_ptr<HomeWindow> window;
    DialogRecorder dialogs;
};

void TestConvertWorkflow::initTestCase()
{
    QVERIFY(configDir.isValid());
    QVERIFY(workDir.isValid());
    isolateSettings(configDir);
    std::setlocale(LC_NUMERIC, "C");
    clipPath = workDir.filePath(uniqueName(QStringLiteral("clip"), QStringLiteral("mp4")));
    imagePath = workDir.filePath(uniqueName(QStringLiteral("still"), QStringLiteral("png")));
    QVERIFY(makeClip(clipPath, 3));
    QVERIFY(makeImage(imagePath));
    outDir = workDir.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(outDir));

    window = std::make_unique<HomeWindow>();
    window->setMediaInfoDelay(200);
    window->setFolderOpener([this](const QString& dir) { openedFolders << dir; });
    dialogs.attach(*window);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTRY_VERIFY(window->findChild<QLineEdit*>("outputField") != nullptr);
    QTest::qWait(200); // initial synchronisation
    window->selectOutputFolder(outDir);
    QCOMPARE(store().value("outputFolder").toString(), outDir);

    auto* selector = child<QComboBox>("modelSelector");
    selector->setCurrentIndex(selector->findText(QStringLiteral("BELLATRIX")));
    QCOMPARE(selector->currentText(), QStringLiteral("BELLATRIX"));
}

void TestConvertWorkflow::cleanupTestCase()
{
    QTRY_VERIFY_WITH_TIMEOUT(!window->isBusy(), 60000);
    window.reset();
}

void TestConvertWorkflow::loadClip()
{
    QVERIFY(chooseVideoAndWait(*window, clipPath));
    child<QTimeEdit>("startTimeEdit")->setTime(QTime(0, 0, 0));
}

QString TestConvertWorkflow::convertAndWait(bool doubleClick)
{
    auto* status = child<QLabel>("statusLabel");
    auto* convert = child<QPushButton>("convertButton");
    progressTexts.clear();
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, [&] {
        const QString t = status->text();
        if (!t.isEmpty() && (progressTexts.isEmpty() || progressTexts.last() != t))
            progressTexts << t;
    });
    sampler.start(2);

    dialogs.clear();
    window->clickStart();
    if (doubleClick) {
        QTest::qWait(1); // the worker's start report may or may not be in
        window->clickStart();
    }
    if (!dialogs.boxes.isEmpty())
        return QStringLiteral("refused: ") + dialogs.lastText();
    // The job runs on a worker; the result ends it.
    const bool ended = QTest::qWaitFor(
        [&] {
            const QString t = status->text();
            return t == QLatin1String("convert_success") || t == QLatin1String("convert_failed");
        },
        120000);
    if (!ended)
        return QStringLiteral("no result; status: ") + status->text();
    if (!convert->isEnabled())
        return QStringLiteral("convert button still disabled");
    sampler.stop();
    if (window->isBusy())
        return QStringLiteral("still busy");
    if (!child<QLabel>("loadingLabel")->isHidden())
        return QStringLiteral("loading indicator still shown");
    // While a video's job ran the status showed its stage and percentage (at
    // least the start of decoding; a still image may be done too soon to see).
    static const QRegularExpression progress(QStringLiteral("^(decoding|converting) \\d{1,3}%$"));
    if (window->isVideoInput() && progressTexts.size() < 2)
        return QStringLiteral("no progress shown: ") + progressTexts.join(QLatin1String(" | "));
    for (int i = 0; i + 1 < progressTexts.size(); ++i) {
        if (!progress.match(progressTexts[i]).hasMatch())
            return QStringLiteral("unexpected status text during the job: ") + progressTexts[i];
    }
    return status->text();
}

void TestConvertWorkflow::clipConvertsToNumberedFiles()
{
    loadClip();
    openedFolders.clear();
    QCOMPARE(convertAndWait(), QStringLiteral("convert_success"));
    const QString first = outDir + QStringLiteral("/BELLATRIX/00_00000.bin");
    QVERIFY2(QFileInfo(first).size() > 0, qPrintable(first));
    QCOMPARE(store().value("convert_index").toInt(), 1);
    QCOMPARE(openedFolders, QStringList {QFileInfo(first).absolutePath()});
    QVERIFY(child<QLabel>("statusLabel")->styleSheet().contains("color:green"));

    // A quick second click while the job starts does not start a second job.
    QCOMPARE(convertAndWait(true), QStringLiteral("convert_success"));
    QVERIFY(QFileInfo(outDir + QStringLiteral("/BELLATRIX/01_00001.bin")).size() > 0);
    QCOMPARE(store().value("convert_index").toInt(), 2);
    QTest::qWait(300);
    QCOMPARE(QDir(outDir + QStringLiteral("/BELLATRIX")).entryList(QDir::Files).size(), 2);
}

void TestConvertWorkflow::sequenceNumberWrapsAbove99999()
{
    QSettings s = store();
    s.setValue("convert_index", 99999);
    s.sync();
    QCOMPARE(convertAndWait(), QStringLiteral("convert_success"));
    QVERIFY(QFileInfo::exists(outDir + QStringLiteral("/BELLATRIX/02_99999.bin")));
    QCOMPARE(store().value("convert_index").toInt(), 100000);

    QCOMPARE(convertAndWait(), QStringLiteral("convert_success"));
    QVERIFY(QFileInfo::exists(outDir + QStringLiteral("/BELLATRIX/03_00000.bin")));
    QCOMPARE(store().value("convert_index").toInt(), 1);
}

void TestConvertWorkflow::imageIgnoresTimeFields()
{
    window->selectInputFile(imagePath);
    QVERIFY(!window->isVideoInput());
    QTest::qWait(400); // media information display
    // Times that a video would be refused for.
    child<QTimeEdit>("startTimeEdit")->setTime(QTime(0, 0, 5));
    child<QTimeEdit>("endTimeEdit")->setTime(QTime(0, 0, 1));
    uint32_t w = 0, h = 0;
    QTRY_VERIFY_WITH_TIMEOUT(window->player()->getVideoSize(w, h), 10000);
    QCOMPARE(convertAndWait(), QStringLiteral("convert_success"));
    QVERIFY(QFileInfo(outDir + QStringLiteral("/BELLATRIX/04_00001.bin")).size() > 0);
}

void TestConvertWorkflow::failingConversionReportsFailure()
{
    loadClip();
    // A path typed by hand that does not exist: the player still knows the
    // loaded clip's size, the decoder fails.
    child<QLineEdit>("inputField")
        ->setText(workDir.filePath(uniqueName(QStringLiteral("missing"), QStringLiteral("mp4"))));
    openedFolders.clear();
    QCOMPARE(convertAndWait(), QStringLiteral("convert_failed"));
    QVERIFY(child<QLabel>("statusLabel")->styleSheet().contains("color:red"));
    QVERIFY(openedFolders.isEmpty());
    QVERIFY(!QFileInfo::exists(outDir + QStringLiteral("/BELLATRIX/05_00002.bin")));
}

QTEST_MAIN(TestConvertWorkflow)
#include "tst_convert_workflow.moc"
