// Translation catalogues, images and the image-file lookup.

#include "ResourcePaths.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QMovie>
#include <QPixmap>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTranslator>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

const char* const kLanguages[] = {"en_US", "zh_CN", "ru_RU"};

// Every key the main window looks up.
const QStringList kWindowKeys = {
    "about", "about content", "about title", "cancel", "chinese", "color_deep", "connected",
    "connection", "convert", "convert_and_upload", "convert_failed", "convert_success",
    "develop_mode", "disconnected", "end_time", "end_time_error", "english", "enter", "exception",
    "exit", "flip", "get_resolution_error", "help", "horizontal_flip", "input_file", "language",
    "language_change", "language_change_next_startup", "language_changed_content", "later",
    "light_adjust_min_brightness", "light_adjust_radius", "light_detail", "lights", "lines", "log",
    "model", "output_path", "please_select_convert_file", "refreshState", "resolution",
    "restart_now", "russian", "select_file", "select_output_path", "settings", "start_time",
    "start_time_error", "state", "tip", "upload_failed", "upload_success", "uploading",
    "vertical_flip", "video_duration", "video_parse_error",
    // Progress shown in the status label while a job runs ("Decoding 42%").
    "decoding", "converting",
    // File choice, framing helpers, device information.
    "file_unreadable", "select_video_file", "select_output_folder", "filter_media", "filter_video",
    "filter_image", "filter_all", "device_none", "device_info", "play_pause", "reset_framing",
    "from_position", "start_from_position_tip", "end_from_position_tip", "model_details",
    // The job panel: a cancelled job, the drop queue, where the file went.
    "cancelled", "clear_queue", "queued", "saved_to", "show_on_fan_view",
    // The fan view switch beside the flip buttons and its tool tip.
    "fan_view", "fan_view_tip",
    // An upload that waits for the fan's answer, what became of a file that
    // did not reach the fan, a typed path that names nothing, the fan view
    // showing a file, what the fan plays.
    "waiting_for_fan", "cancel_kept_file", "upload_failed_kept_file", "upload_failed_reason",
    "file_not_found", "fan_view_showing", "play_playing", "play_paused", "play_listed", "play_idle",
    // Why a conversion failed, around the system's own words.
    "convert_failed_reason",
    // A HEIC photo, which the installed FFmpeg cannot read.
    "heic_unreadable"};

// The conversion controller's sentences on what became of a cancelled upload,
// and its word on a file counter that cannot be stored.
const QStringList kControllerKeys = {"upload_cancelled_not_stored",
                                     "upload_cancelled_may_be_stored", "upload_cancelled_stored",
                                     "counter_not_stored"};

// Texts that are looked up with tr() but deliberately have no catalogue entry:
// they read the same in every language.
const QStringList kUntranslated = {"Tip", "The process is running, Please wait.",
                                   "Select a Video File", "Select Output Folder"};

QString catalogueResource(const QString& lang)
{
    return QStringLiteral(":/translations/translations/%1.qm").arg(lang);
}

QString sourcePath(const QString& rel) { return QStringLiteral(SPINDRA_SOURCE_DIR "/") + rel; }

struct TsMessage {
    QString context, source, translation, type;
};

QList<TsMessage> readTs(const QString& path, QString* error)
{
    QList<TsMessage> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open ") + path;
        return out;
    }
    QXmlStreamReader xml(&f);
    QString context;
    TsMessage msg;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        const auto name = xml.name();
        if (name == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (name == QLatin1String("message")) {
            msg = TsMessage {context, {}, {}, {}};
        } else if (name == QLatin1String("source")) {
            msg.source = xml.readElementText();
        } else if (name == QLatin1String("translation")) {
            msg.type = xml.attributes().value(QLatin1String("type")).toString();
            msg.translation = xml.readElementText();
            out << msg;
        }
    }
    if (xml.hasError())
        *error = path + QStringLiteral(": ") + xml.errorString();
    return out;
}

} // namespace

class TestTexts : public QObject {
    Q_OBJECT

private slots:
    void everyKeyIsTranslated_data();
    void everyKeyIsTranslated();
    void exactTexts_data();
    void exactTexts();
    void aboutContentTakesNameAndVersion_data();
    void aboutContentTakesNameAndVersion();
    void sourcesAreFinishedAndConsistent();
    void keysUsedInCodeExist();

    void stateIcons_data();
    void stateIcons();
    void windowIcon();
    void busyAnimation();
    void runtimeImagesCopiedBesideApp();

    void findFileInOrder();
    void imageSearchDirsOrder();
};

void TestTexts::everyKeyIsTranslated_data()
{
    QTest::addColumn<QString>("lang");
    for (const char* lang : kLanguages)
        QTest::newRow(lang) << QString::fromLatin1(lang);
}

void TestTexts::everyKeyIsTranslated()
{
    QFETCH(QString, lang);
    QTranslator tr;
    QVERIFY2(tr.load(catalogueResource(lang)), qPrintable(catalogueResource(lang)));
    QStringList missing;
    for (const QString& key : kWindowKeys) {
        if (tr.translate("HomeWindow", key.toUtf8().constData()).isEmpty())
            missing << key;
    }
    if (tr.translate("MediaConvert", "start_convert_failed").isEmpty())
        missing << QStringLiteral("MediaConvert/start_convert_failed");
    for (const QString& key : kControllerKeys) {
        if (tr.translate("ConversionController", key.toUtf8().constData()).isEmpty())
            missing << QStringLiteral("ConversionController/") + key;
    }
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ")));
    // Contexts are kept apart: a window key does not leak into the pipeline's context.
    QVERIFY(tr.translate("MediaConvert", "convert").isEmpty());
}

void TestTexts::exactTexts_data()
{
    QTest::addColumn<QString>("lang");
    QTest::addColumn<QString>("context");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    const QString hw = QStringLiteral("HomeWindow");
    QTest::newRow("en convert") << "en_US" << hw << "convert"
                                << "Convert";
    QTest::newRow("en refreshState") << "en_US" << hw << "refreshState"
                                     << "Read Device Information";
    QTest::newRow("en output_path trailing blank") << "en_US" << hw << "output_path"
                                                   << "Select output path: ";
    QTest::newRow("en about title") << "en_US" << hw << "about title"
                                    << "About Spindra";
    QTest::newRow("en language_changed_content")
        << "en_US" << hw << "language_changed_content"
        << "Language will take effect after restarting the application.<br/>Would you like to "
           "restart now or later?";
    QTest::newRow("en chinese in its own language")
        << "en_US" << hw << "chinese" << QString::fromUtf8("中文");
    QTest::newRow("en start_convert_failed") << "en_US"
                                             << "MediaConvert"
                                             << "start_convert_failed"
                                             << "Failed to start conversion";
    QTest::newRow("zh convert_and_upload")
        << "zh_CN" << hw << "convert_and_upload" << QString::fromUtf8("转码并上传");
    QTest::newRow("zh flip trailing blank")
        << "zh_CN" << hw << "flip" << QString::fromUtf8("翻转: ");
    QTest::newRow("zh end_time fullwidth colon")
        << "zh_CN" << hw << "end_time" << QString::fromUtf8("结束时间：");
    QTest::newRow("zh light_detail")
        << "zh_CN" << hw << "light_detail"
        << QString::fromUtf8("亮度调节因子(1.0-5.0)<br>1：线性变亮<br>2：先缓慢，后面急速变亮<br>0."
                             "5：线快速变亮，后缓慢变亮");
    QTest::newRow("zh english in its own language") << "zh_CN" << hw << "english"
                                                    << "English";
    QTest::newRow("zh start_convert_failed")
        << "zh_CN"
        << "MediaConvert"
        << "start_convert_failed" << QString::fromUtf8("启动转换失败");
    QTest::newRow("ru about title") << "ru_RU" << hw << "about title"
                                    << "Spindra";
    QTest::newRow("ru uploading ellipsis")
        << "ru_RU" << hw << "uploading" << QString::fromUtf8("Загрузка…");
    QTest::newRow("ru light_adjust_min_brightness")
        << "ru_RU" << hw << "light_adjust_min_brightness"
        << QString::fromUtf8("Минимальная яркость (0–1):");
    QTest::newRow("ru russian") << "ru_RU" << hw << "russian" << QString::fromUtf8("Русский");
    QTest::newRow("ru start_convert_failed")
        << "ru_RU"
        << "MediaConvert"
        << "start_convert_failed" << QString::fromUtf8("Не удалось начать конвертацию");
}

void TestTexts::exactTexts()
{
    QFETCH(QString, lang);
    QFETCH(QString, context);
    QFETCH(QString, key);
    QFETCH(QString, text);
    QTranslator tr;
    QVERIFY(tr.load(catalogueResource(lang)));
    QCOMPARE(tr.translate(context.toUtf8().constData(), key.toUtf8().constData()), text);
}

void TestTexts::aboutContentTakesNameAndVersion_data() { everyKeyIsTranslated_data(); }

void TestTexts::aboutContentTakesNameAndVersion()
{
    QFETCH(QString, lang);
    QTranslator tr;
    QVERIFY(tr.load(catalogueResource(lang)));
    const QString about = tr.translate("HomeWindow", "about content");
    QCOMPARE(about.count(QStringLiteral("%1")), 1);
    QCOMPARE(about.count(QStringLiteral("%2")), 1);
    QVERIFY2(about.contains(QStringLiteral("<b>%1 v%2</b>")), qPrintable(about));
    QVERIFY(about.arg(QStringLiteral("Spindra"), QStringLiteral(SPINDRA_VERSION))
                .contains(QStringLiteral("<b>Spindra v" SPINDRA_VERSION "</b>")));
}

void TestTexts::sourcesAreFinishedAndConsistent()
{
    QSet<QString> reference;
    for (const char* lang : kLanguages) {
        const QString path = sourcePath(QStringLiteral("translations/%1.ts").arg(lang));
        QString error;
        const QList<TsMessage> messages = readTs(path, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QSet<QString> ids;
        for (const TsMessage& m : messages) {
            const QString id = m.context + QLatin1Char('/') + m.source;
            QVERIFY2(m.type.isEmpty() || m.type == QLatin1String("finished"),
                     qPrintable(QStringLiteral("%1: %2 is %3").arg(lang, id, m.type)));
            QVERIFY2(!m.translation.isEmpty(),
                     qPrintable(QStringLiteral("%1: %2 is empty").arg(lang, id)));
            QVERIFY2(!ids.contains(id), qPrintable(QStringLiteral("%1: %2 twice").arg(lang, id)));
            ids.insert(id);
        }
        if (reference.isEmpty())
            reference = ids;
        QVERIFY2(ids == reference,
                 qPrintable(QStringLiteral("%1 holds other keys than en_US").arg(lang)));
    }
    // The window's keys, the controller's, the pipeline's two
    // ("start_convert_failed", "output_folder_fallback"), and the standard
    // buttons' OK, which Qt's own Russian catalogue leaves in Latin letters.
    QCOMPARE(reference.size(), kWindowKeys.size() + kControllerKeys.size() + 3);
}

// A key typed differently in the code than in the catalogues shows up as the
// bare key in every language; catch it here.
void TestTexts::keysUsedInCodeExist()
{
    QTranslator tr;
    QVERIFY(tr.load(catalogueResource(QStringLiteral("en_US"))));
    const QRegularExpression trCall(QStringLiteral(R"re(\btr\(\s*"((?:[^"\\]|\\.)*)"\s*[,)])re"));
    const QRegularExpression translateCall(
        QStringLiteral(R"re(\btranslate\(\s*"(\w+)"\s*,\s*"((?:[^"\\]|\\.)*)"\s*[,)])re"));
    QStringList missing;
    int seen = 0;
    for (const char* area : {"app", "media"}) {
        QDirIterator it(sourcePath(QString::fromLatin1(area)), {"*.cpp", "*.h"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            if (!f.open(QIODevice::ReadOnly))
                continue;
            const QString code = QString::fromUtf8(f.readAll());
            auto m = trCall.globalMatch(code);
            while (m.hasNext()) {
                const QString key = m.next().captured(1);
                ++seen;
                if (kUntranslated.contains(key))
                    continue;
                const QByteArray k = key.toUtf8();
                if (tr.translate("HomeWindow", k.constData()).isEmpty() &&
                    tr.translate("MediaConvert", k.constData()).isEmpty())
                    missing << QStringLiteral("%1: \"%2\"").arg(QFileInfo(f).fileName(), key);
            }
            auto t = translateCall.globalMatch(code);
            while (t.hasNext()) {
                const auto match = t.next();
                ++seen;
                if (tr.translate(match.captured(1).toUtf8().constData(),
                                 match.captured(2).toUtf8().constData())
                        .isEmpty())
                    missing << QStringLiteral("%1: %2/\"%3\"")
                                   .arg(QFileInfo(f).fileName(), match.captured(1),
                                        match.captured(2));
            }
        }
    }
    // Finding no lookup at all means the pattern or the folders are wrong, not
    // that everything is fine.
    QVERIFY2(seen > 0, "no tr() or translate() call found in app/ or media/");
    missing.removeDuplicates();
    QVERIFY2(missing.isEmpty(),
             qPrintable(QStringLiteral("keys without a catalogue entry: ") + missing.join(", ")));
}

void TestTexts::stateIcons_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("connected resource") << ":/images/gui/res/img/ic_connected.png";
    QTest::newRow("disconnected resource") << ":/images/gui/res/img/ic_disconnected.png";
    QTest::newRow("connected file") << sourcePath("gui/res/img/ic_connected.png");
    QTest::newRow("disconnected file") << sourcePath("gui/res/img/ic_disconnected.png");
}

void TestTexts::stateIcons()
{
    QFETCH(QString, path);
    QPixmap pm(path);
    QVERIFY2(!pm.isNull(), qPrintable(path));
    QCOMPARE(pm.size(), QSize(30, 30));
    const QImage img = pm.toImage();
    QVERIFY(img.hasAlphaChannel());
    // Round badge: clear corners, opaque middle.
    QCOMPARE(qAlpha(img.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(img.pixel(29, 29)), 0);
    QCOMPARE(qAlpha(img.pixel(15, 15)), 255);
}

void TestTexts::windowIcon()
{
    const QString ico = sourcePath("gui/res/img/logo.ico");
    QImageReader reader(ico);
    QVERIFY2(reader.canRead(), qPrintable(reader.errorString()));
    QVERIFY(reader.imageCount() >= 5);
    QSet<int> sizes;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage img = reader.read();
        QVERIFY2(!img.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(img.width(), img.height());
        sizes.insert(img.width());
    }
    for (int s : {16, 32, 48, 256})
        QVERIFY2(sizes.contains(s), qPrintable(QString::number(s)));

    const QIcon icon(ico);
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.pixmap(QSize(32, 32)).size(), QSize(32, 32));

    const QImage png(sourcePath("gui/res/img/logo.png"));
    QCOMPARE(png.size(), QSize(256, 256));
    QCOMPARE(qAlpha(png.pixel(0, 0)), 0);
}

void TestTexts::busyAnimation()
{
    QMovie movie(sourcePath("gui/res/img/loading.gif"));
    QVERIFY(movie.isValid());
    QVERIFY(movie.frameCount() >= 8);
    QCOMPARE(movie.loopCount(), -1); // loops forever
    QVERIFY(movie.jumpToFrame(0));
    const QImage first = movie.currentImage();
    QCOMPARE(first.size(), QSize(50, 50));
    QCOMPARE(qAlpha(first.pixel(0, 0)), 0);
    // Successive frames differ: it actually moves.
    QVERIFY(movie.jumpToFrame(1));
    QVERIFY(movie.currentImage() != first);
}

void TestTexts::runtimeImagesCopiedBesideApp()
{
    for (const char* name : {"logo.ico", "loading.gif"}) {
        const QString built =
            QStringLiteral(SPINDRA_BINARY_DIR "/app/gui/res/img/") + QLatin1String(name);
        QFile a(built), b(sourcePath(QStringLiteral("gui/res/img/") + QLatin1String(name)));
        QVERIFY2(a.open(QIODevice::ReadOnly), qPrintable(built));
        QVERIFY(b.open(QIODevice::ReadOnly));
        QVERIFY2(a.readAll() == b.readAll(), qPrintable(built + QStringLiteral(" is stale")));
    }
}

void TestTexts::findFileInOrder()
{
    QTemporaryDir work, exeDir, dataDir;
    QVERIFY(work.isValid() && exeDir.isValid() && dataDir.isValid());
    const QString rel = QStringLiteral("gui/res/img/logo.ico");
    auto put = [&](const QTemporaryDir& d) {
        QVERIFY(QDir(d.path()).mkpath(QStringLiteral("gui/res/img")));
        QFile f(QDir(d.path()).filePath(rel));
        QVERIFY(f.open(QIODevice::WriteOnly));
    };
    // The working folder is the process's: put it back however this ends.
    struct RestoreCwd {
        QString path = QDir::currentPath();
        ~RestoreCwd() { QDir::setCurrent(path); }
    } restoreCwd;
    QVERIFY(QDir::setCurrent(work.path()));
    const QStringList dirs {QStringLiteral("."), exeDir.path(), dataDir.path()};

    QCOMPARE(findFileIn(dirs, rel), rel); // nowhere: unchanged

    put(dataDir);
    QCOMPARE(findFileIn(dirs, rel), QDir(dataDir.path()).filePath(rel));

    put(exeDir);
    QCOMPARE(findFileIn(dirs, rel), QDir(exeDir.path()).filePath(rel));

    put(work);
    QCOMPARE(findFileIn(dirs, rel), rel); // working directory wins, path kept relative

    const QString absolute = QDir(dataDir.path()).filePath(rel);
    QCOMPARE(findFileIn(dirs, absolute), absolute);
    QCOMPARE(findFileIn(dirs, QString()), QString());

    // A folder of that name is not an image file.
    QVERIFY(QDir(work.path()).mkpath(QStringLiteral("gui/res/img/loading.gif")));
    QCOMPARE(findFileIn({QStringLiteral(".")}, QStringLiteral("gui/res/img/loading.gif")),
             QStringLiteral("gui/res/img/loading.gif")); // not found, unchanged
}

void TestTexts::imageSearchDirsOrder()
{
    const QStringList dirs = imageSearchDirs();
    QVERIFY(dirs.size() >= 3);
    QCOMPARE(dirs.at(0), QStringLiteral("."));
    QCOMPARE(dirs.at(1), QDir::cleanPath(QCoreApplication::applicationDirPath()));
    QCOMPARE(dirs.at(2),
             QDir::cleanPath(QCoreApplication::applicationDirPath() +
                             QStringLiteral("/../share/spindra")));
}

QTEST_MAIN(TestTexts)
#include "tst_texts.moc"
