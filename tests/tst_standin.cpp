#include <QJsonDocument>
#include <QtTest>

#include "app/global.h"
#include "standin/CPayloadGenerator.h"
#include "standin/StandinConfig.h"

namespace {
QJsonObject parse(const QString& json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

// One device whose packet is the type byte 01 and the given fields.
QJsonObject configObject(const QString& fields, int packetSize)
{
    return parse(QString(R"({"host": "127.0.0.1", "port": 0, "login": "operator",
        "password": "tarnwick", "seed": 7, "history_size": 3, "devices": [{"dev_eui": "7a52000000010001",
        "dev_name": "Meter", "app_eui": "7A52000000000001", "period_ms": 80, "port": 2, "rssi": -71,
        "packet_type": 1, "packet_size": %2, "fields": [%1]}]})")
                     .arg(fields, QString::number(packetSize)));
}
} // namespace

class TestStandin : public QObject
{
    Q_OBJECT
private slots:

    void generators_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("firstThree"); // empty: a random walk, checked by its range

        QTest::newRow("a big-endian counter counts up by its step")
            << R"({"offset": 1, "size": 4, "order": "be", "generator": "counter", "start": 65534, "step": 1})"
            << "010000fffe 010000ffff 0100010000";
        QTest::newRow("a little-endian counter puts the low byte first")
            << R"({"offset": 1, "size": 2, "generator": "counter", "start": 258, "step": 2})"
            << "010201 010401 010601";
        QTest::newRow("a text is zero-padded")
            << R"({"offset": 1, "size": 4, "generator": "text", "text": "OK"})"
            << "014f4b0000 014f4b0000 014f4b0000";
        QTest::newRow("a wander stays in its range and moves by at most its step")
            << R"({"offset": 1, "size": 2, "generator": "wander", "min": -10, "max": 10, "start": 0, "step": 3})"
            << QString();
    }

    void generators()
    {
        QFETCH(QString, field);
        QFETCH(QString, firstThree);
        SStandinConfig cfg;
        QString error;
        QVERIFY2(readStandinConfig(configObject(field, 1 + parse(field).value("size").toInt()), cfg, error),
                 qPrintable(error));
        CPayloadGenerator gen(cfg.devices.first(), 99);
        if (!firstThree.isEmpty()) {
            const QStringList got{gen.next().toHex(), gen.next().toHex(), gen.next().toHex()};
            QCOMPARE(got.join(' '), firstThree);
            return;
        }
        QSet<int> seen;
        int previous = 0;
        for (int i = 0; i < 2000; ++i) {
            const QByteArray p = gen.next();
            const int value = int16_t(uint8_t(p[1]) | (uint8_t(p[2]) << 8));
            QVERIFY(value >= -10 && value <= 10 && qAbs(value - previous) <= 3);
            previous = value;
            seen.insert(value);
        }
        // A walk that never reaches the ends is not wandering.
        QVERIFY(seen.contains(-10) && seen.contains(10));
    }
};

QTEST_GUILESS_MAIN(TestStandin)
#include "tst_standin.moc"
