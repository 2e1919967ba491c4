// util_log and the json_* helpers: fallbacks, messages and the line format.
#include <QtTest>

#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.h"
#include "util_json.h"
#include "util_log.h"

using namespace enginetest;

class TestUtilJson : public QObject {
    Q_OBJECT

private:
    static const char* document()
    {
        return "{\"flag\": true, \"off\": false, \"count\": 42, \"negative\": -7, \"ratio\": 0.25,"
               " \"name\": \"fan\", \"items\": [1, 2], \"object\": {\"a\": 1}, \"numeric\": 1, "
               "\"nothing\": null,"
               " \"big\": 5e12}";
    }

private slots:
    void getters_data()
    {
        QTest::addColumn<QString>("getter");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected"); // value as text
        QTest::addColumn<QString>("message");  // logged line, empty for none
        const QString number = QStringLiteral("[Util] not found or not a number [%1]");
        QTest::newRow("bool true") << "bool"
                                   << "flag"
                                   << "1"
                                   << "";
        QTest::newRow("bool false") << "bool"
                                    << "off"
                                    << "0"
                                    << "";
        QTest::newRow("bool from number 1") << "bool"
                                            << "numeric"
                                            << "-1" << number.arg("numeric");
        QTest::newRow("bool missing") << "bool"
                                      << "absent"
                                      << "-1" << number.arg("absent");
        QTest::newRow("int") << "int"
                             << "count"
                             << "42"
                             << "";
        QTest::newRow("int negative") << "int"
                                      << "negative"
                                      << "-7"
                                      << "";
        QTest::newRow("int key case-insensitive") << "int"
                                                  << "COUNT"
                                                  << "42"
                                                  << "";
        QTest::newRow("int saturates") << "int"
                                       << "big"
                                       << "2147483647"
                                       << "";
        QTest::newRow("int from string") << "int"
                                         << "name"
                                         << "-1" << number.arg("name");
        QTest::newRow("int from null") << "int"
                                       << "nothing"
                                       << "-1" << number.arg("nothing");
        QTest::newRow("double") << "double"
                                << "ratio"
                                << "0.25"
                                << "";
        QTest::newRow("double missing is 1.0") << "double"
                                               << "absent"
                                               << "1" << number.arg("absent");
        QTest::newRow("double from bool") << "double"
                                          << "flag"
                                          << "1" << number.arg("flag");
        QTest::newRow("string") << "string"
                                << "name"
                                << "fan"
                                << "";
        QTest::newRow("string from number")
            << "string"
            << "count"
            << "(null)" << QStringLiteral("[Util] not found or not a string [count]");
        QTest::newRow("array") << "array"
                               << "items"
                               << "2"
                               << "";
        QTest::newRow("array from object")
            << "array"
            << "object"
            << "(null)" << QStringLiteral("[Util] not found or not a object [object]");
        QTest::newRow("array missing")
            << "array"
            << "absent"
            << "(null)" << QStringLiteral("[Util] not found or not a object [absent]");
    }
    void getters()
    {
        QFETCH(QString, getter);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        QFETCH(QString, message);
        cJSON* tree = json_parse(document());
        QVERIFY(tree);
        const QByteArray k = key.toUtf8();
        QString value;
        StdoutCapture capture;
        if (getter == QLatin1String("bool")) {
            value = QString::number(json_get_bool(tree, k.constData()));
        } else if (getter == QLatin1String("int")) {
            value = QString::number(json_get_int(tree, k.constData()));
        } else if (getter == QLatin1String("double")) {
            value = QString::number(json_get_double(tree, k.constData()));
        } else if (getter == QLatin1String("string")) {
            const char* s = json_get_string(tree, k.constData());
            value = s ? QString::fromUtf8(s) : QStringLiteral("(null)");
        } else {
            const cJSON* array = json_get_array(tree, k.constData());
            value = array ? QString::number(cJSON_GetArraySize(array)) : QStringLiteral("(null)");
        }
        capture.stop();
        json_delete(tree);
        QCOMPARE(value, expected);
        QCOMPARE(capture.text(), message.isEmpty() ? QString() : message + QLatin1Char('\n'));
    }

    void missingDoubleIsExactlyOne()
    {
        StdoutCapture capture;
        QCOMPARE(json_get_double(nullptr, "gamma"), 1.0);
    }

    void parseFailures_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("cut off") << QByteArray("{\"lights\": 4,");
        QTest::newRow("not an object") << QByteArray("lights");
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("trailing comma") << QByteArray("{\"a\": [1,]}");
    }
    void parseFailures()
    {
        QFETCH(QByteArray, text);
        StdoutCapture capture;
        QVERIFY(!json_parse(text.constData()));
        capture.stop();
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), 1);
        const bool before = lines[0].startsWith(QStringLiteral("[Util] Error before: ")) &&
            lines[0].endsWith(QStringLiteral(" [%1]").arg(QString::fromUtf8(text)));
        const bool plain =
            lines[0] == QStringLiteral("[Util] parse json error [%1]").arg(QString::fromUtf8(text));
        QVERIFY2(before || plain, qPrintable(lines[0]));
    }

    void logLines_data()
    {
        QTest::addColumn<int>("force");
        QTest::addColumn<int>("level");
        QTest::addColumn<bool>("printed");
        QTest::newRow("forced, level 5") << 1 << 5 << true;
        QTest::newRow("forced below the threshold") << 1 << 0 << true;
        QTest::newRow("unforced at the threshold") << 0 << 4 << true;
        QTest::newRow("unforced below the threshold") << 0 << 3 << false;
    }
    void logLines()
    {
        QFETCH(int, force);
        QFETCH(int, level);
        QFETCH(bool, printed);
        StdoutCapture capture;
        QCOMPARE(util_log(force, level, "MEDIA", "value:%d text:%s", 12, "abc"), 0);
        capture.stop();
        QCOMPARE(capture.text(),
                 printed ? QStringLiteral("[MEDIA] value:12 text:abc\n") : QString());
    }

    void longMessageIsCut()
    {
        const QByteArray text(200000, 'x');
        StdoutCapture capture;
        util_log(1, 5, "Util", "%s", text.constData());
        capture.stop();
        const QString out = capture.text();
        QCOMPARE(out.size(), 7 + (UTIL_LOG_BUFFER_SIZE - 1) + 1);
        QVERIFY(out.startsWith(QStringLiteral("[Util] xxx")));
        QVERIFY(out.endsWith(QStringLiteral("x\n")));
    }

    void concurrentLinesStayWhole()
    {
        StdoutCapture capture;
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([i] {
                const std::string body(3000, char('a' + i));
                for (int n = 0; n < 50; ++n)
                    util_log(1, 5, "MEDIA", "%s", body.c_str());
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        capture.stop();
        const QStringList lines = capture.lines();
        QCOMPARE(lines.size(), 200);
        for (const QString& line : lines) {
            QCOMPARE(line.size(), 8 + 3000);
            QCOMPARE(line.count(line.at(8)), 3000);
        }
    }
};

QTEST_GUILESS_MAIN(TestUtilJson)
#include "tst_util_json.moc"
