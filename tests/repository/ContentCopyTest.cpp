#include "repository/Vadro.h"
#include "support/Files.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include <fcntl.h>
#include <unistd.h>

using testsupport::readFile;

namespace {

// A reader that hands out a text in small uneven chunks, as a remote repository might.
class ChunkedReader : public vadro::IContentReader
{
public:
    explicit ChunkedReader(QByteArray text)
        : text_(std::move(text))
    {}
    std::size_t ReadChunk(char* buffer, std::size_t size) override
    {
        const std::size_t n = std::min<std::size_t>({size, 7, std::size_t(text_.size() - offset_)});
        std::memcpy(buffer, text_.constData() + offset_, n);
        offset_ += int(n);
        return n;
    }

private:
    QByteArray text_;
    int offset_ = 0;
};

} // namespace

class ContentCopyTest : public QObject
{
    Q_OBJECT

private slots:
    void copiesEveryByte_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("small") << QByteArray("Документ\n\0x", 18);
        QTest::newRow("three megabytes") << QByteArray(3 * 1024 * 1024 + 5, 'z');
    }
    void copiesEveryByte()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("source"));
        QFile s(source);
        QVERIFY(s.open(QIODevice::WriteOnly));
        s.write(content);
        s.close();

        // The reader's own chunk loop.
        const QString first = dir.filePath(QStringLiteral("first"));
        int fd = ::open(QFile::encodeName(first).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ChunkedReader chunked(content);
        QVERIFY(chunked.CopyTo(fd));
        ::close(fd);
        QCOMPARE(readFile(first), content);

        // The embedded repository's copy of a real document.
        vadro_cm::ServerAddress address{dir.path().toStdWString(), 0};
        auto session = vadro::CreateCore()->OpenSession(address, {});
        const auto ids = session->GetPathResolver()->ResolvePath({L"source"});
        QCOMPARE(ids.size(), std::size_t(1));
        auto reader = session->OpenContent(ids);
        QVERIFY(reader);
        const QString second = dir.filePath(QStringLiteral("second"));
        fd = ::open(QFile::encodeName(second).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        QVERIFY(reader->CopyTo(fd));
        ::close(fd);
        QCOMPARE(readFile(second), content);

        // A destination that cannot be written is reported, not taken as done.
        if (!content.isEmpty()) {
            ChunkedReader again(content);
            QVERIFY(!again.CopyTo(-1));
        }
    }
};

QTEST_GUILESS_MAIN(ContentCopyTest)
#include "ContentCopyTest.moc"
