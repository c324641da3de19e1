// The CAP file type the package declares, as the desktop's MIME database
// built from it (by shared-mime-info's update-mime-database, as a package
// installation builds it) tells files apart: CAP files, whatever their first
// entry, from packet captures and other ZIP archives that share the suffix.

#include "qt_helpers.h"
#include "zip_builder.h"

#include <QMimeDatabase>
#include <QProcess>
#include <QTest>
#include <filesystem>
#include <optional>

using namespace tolvane::testing;

class MimeType : public QObject {
    Q_OBJECT

    std::optional<TempDir> dir;

private slots:
    void initTestCase()
    {
        // A MIME database of the freedesktop.org types and ours alone, which
        // the process reads before it first looks a type up.
        dir.emplace();
        const std::filesystem::path packages = dir->file("share/mime/packages");
        std::filesystem::create_directories(packages);
        std::filesystem::copy_file("/usr/share/mime/packages/freedesktop.org.xml", packages / "freedesktop.org.xml");
        std::filesystem::copy_file(TOLVANE_MIME_XML, packages / "org.tolvane.Tolvane.xml");
        qputenv("XDG_DATA_DIRS", QFile::encodeName(q(dir->file("share"))));
        qputenv("XDG_DATA_HOME", QFile::encodeName(q(dir->file("home"))));
        QProcess update;
        update.start("update-mime-database", {q(dir->file("share/mime"))});
        QVERIFY(update.waitForFinished(60000));
        QCOMPARE(update.exitCode(), 0);
        // It warns of rules it cannot read.
        QCOMPARE(update.readAllStandardError(), QByteArray());
    }

    void tellsCapFilesFromOthers_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("type");
        const auto zip = [](const std::string& first) {
            const ByteVector bytes = buildZip({{first, bytesOf("x")}, {"pkg/javacard/Header.cap", bytesOf("y")}});
            return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
        };
        const QString cap = "application/x-java-card-cap";
        QTest::newRow("manifest first") << "wallet.cap" << zip("META-INF/MANIFEST.MF") << cap;
        QTest::newRow("a component first") << "wallet.cap" << zip("com/acme/wallet/javacard/Header.cap") << cap;
        QTest::newRow("a package named javacard") << "wallet.cap" << zip("javacard/Header.cap") << cap;
        QTest::newRow("any name") << "wallet.bin" << zip("META-INF/MANIFEST.MF") << cap;
        QTest::newRow("a packet capture") << "trace.cap" << QByteArray::fromHex("d4c3b2a102000400") + QByteArray(40, 0)
                                          << "application/vnd.tcpdump.pcap";
        QTest::newRow("another ZIP archive") << "photos.zip" << zip("photos/one.jpg") << "application/zip";
    }

    void tellsCapFilesFromOthers()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, type);
        const QString path = q(dir->file(name.toStdString()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QCOMPARE(QMimeDatabase().mimeTypeForFile(path).name(), type);
        QVERIFY(QMimeDatabase().mimeTypeForName("application/x-java-card-cap").inherits("application/zip"));
    }
};

QTEST_GUILESS_MAIN(MimeType)
#include "mime_type_test.moc"
