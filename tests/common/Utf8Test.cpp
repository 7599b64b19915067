#include "common/Utf8.h"
#include "common/DateTime.h"
#include "common/Text.h"

#include <QtTest>

class Utf8Test : public QObject
{
    Q_OBJECT

private slots:
    void wellFormed_data();
    void wellFormed();
    void malformed_data();
    void malformed();
    void unencodable();
    void instantAsDateTime();
};

void Utf8Test::wellFormed_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("empty") << QByteArray();
    QTest::newRow("ASCII with a zero byte") << QByteArray("a\0b", 3);
    QTest::newRow("Cyrillic") << QByteArray("Хранилище данных");
    QTest::newRow("largest two-byte") << QByteArray("\xDF\xBF");
    QTest::newRow("just below surrogates") << QByteArray("\xED\x9F\xBF");
    QTest::newRow("outside the basic plane") << QByteArray("\xF0\x9F\x98\x80");
    QTest::newRow("largest code point") << QByteArray("\xF4\x8F\xBF\xBF");
}

void Utf8Test::wellFormed()
{
    QFETCH(QByteArray, bytes);

    const std::string_view view(bytes.constData(), std::size_t(bytes.size()));
    const std::optional<std::wstring> strict = common::fromUtf8Strict(view);
    QVERIFY(strict.has_value());
    QCOMPARE(QString::fromStdWString(*strict), QString::fromUtf8(bytes.constData(), bytes.size()));
    QVERIFY(common::fromUtf8(view) == *strict);
    QCOMPARE(common::decodeUtf8(view), QString::fromStdWString(*strict));
    QCOMPARE(QByteArray::fromStdString(common::toUtf8(*strict)), bytes);
}

void Utf8Test::malformed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("lossy");

    const QString r(QChar(0xFFFD));
    QTest::newRow("stray continuation") << QByteArray("a\x80z") << QStringLiteral("a") + r + QStringLiteral("z");
    QTest::newRow("overlong slash") << QByteArray("\xC0\xAF") << r + r;
    QTest::newRow("overlong three-byte") << QByteArray("\xE0\x80\xAF") << r + r + r;
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80") << r + r + r;
    QTest::newRow("beyond the largest code point") << QByteArray("\xF4\x90\x80\x80") << r + r + r + r;
    QTest::newRow("truncated at the end") << QByteArray("ok\xE2\x82") << QStringLiteral("ok") + r + r;
    QTest::newRow("lead byte without continuation") << QByteArray("\xD0x") << r + QStringLiteral("x");
    QTest::newRow("invalid lead byte") << QByteArray("\xFF") << r;
}

void Utf8Test::malformed()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, lossy);

    const std::string_view view(bytes.constData(), std::size_t(bytes.size()));
    QVERIFY(!common::fromUtf8Strict(view).has_value());
    QCOMPARE(QString::fromStdWString(common::fromUtf8(view)), lossy);
    // Outside text and file names follow the same rule.
    QCOMPARE(common::decodeUtf8(view), lossy);
    QCOMPARE(common::toQString(std::filesystem::path(std::string(view))), lossy);
}

// The bytes are what Qt's own UTF-8 conversion gives for every valid code point; those
// UTF-8 cannot carry become U+FFFD, one each.
void Utf8Test::unencodable()
{
    const std::wstring valid = L"ascii é Ж € 𝄞 <&>";
    QCOMPARE(QByteArray::fromStdString(common::toUtf8(valid)), QString::fromStdWString(valid).toUtf8());
    std::wstring invalid = L"a";
    invalid.push_back(wchar_t(0xD800));   // a lone surrogate
    invalid.push_back(wchar_t(0x110000)); // beyond Unicode
    QCOMPARE(QByteArray::fromStdString(common::toUtf8(invalid)), QByteArray("a\xEF\xBF\xBD\xEF\xBF\xBD"));
}

// Instants are floored to the millisecond, on both sides of the epoch.
void Utf8Test::instantAsDateTime()
{
    QCOMPARE(common::toDateTime(1'999'999).toMSecsSinceEpoch(), qint64(1));
    QCOMPARE(common::toDateTime(-1).toMSecsSinceEpoch(), qint64(-1));
    QCOMPARE(common::toDateTime(-1'000'000).toMSecsSinceEpoch(), qint64(-1));
}

QTEST_GUILESS_MAIN(Utf8Test)
#include "Utf8Test.moc"
