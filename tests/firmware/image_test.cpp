// The firmware file: its length trailer, the image taken from it, and "Open File".

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "firmware/image.h"
#include "shell/qln_boot_pgm.h"
#include "tests/support/harness.h"

namespace {

QString writeFile(const QTemporaryDir& dir, const char* name, const QByteArray& bytes) {
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return path;
}

QByteArray bytesWithTrailer(int size, qint32 trailer) {
    QByteArray b(size, 0);
    for (int i = 0; i < size; ++i) b[i] = static_cast<char>(i * 7);
    for (int i = 0; i < 4; ++i) b[size - 4 + i] = static_cast<char>((trailer >> (8 * i)) & 0xFF);
    return b;
}

TEST(FirmwareImage, TrailerGivesTheLastNBytes) {
    QTemporaryDir dir;
    const QByteArray file = bytesWithTrailer(1000, 100);
    const auto load = firmware::loadImage(writeFile(dir, "a.rom", file));
    ASSERT_TRUE(load.ok);
    EXPECT_EQ(load.image, file.mid(900));
}

TEST(FirmwareImage, TrailerOfTheFileSizeZeroOrLessGivesTheWholeFile) {
    QTemporaryDir dir;
    for (qint32 trailer : {1000, 0, -1}) {
        const QByteArray file = bytesWithTrailer(1000, trailer);
        const auto load = firmware::loadImage(writeFile(dir, "b.rom", file));
        ASSERT_TRUE(load.ok) << trailer;
        EXPECT_EQ(load.image, file) << trailer;
    }
}

TEST(FirmwareImage, Refusals) {
    QTemporaryDir dir;
    auto load = firmware::loadImage(writeFile(dir, "big.rom", bytesWithTrailer(1000, 1001)));
    EXPECT_FALSE(load.ok);
    EXPECT_EQ(load.error, QStringLiteral("Stream read error"));
    EXPECT_TRUE(load.image.isEmpty());

    load = firmware::loadImage(writeFile(dir, "tiny.rom", QByteArray(3, 'x')));
    EXPECT_FALSE(load.ok);
    EXPECT_TRUE(load.error.contains("too short"));

    const QString missing = dir.filePath("missing.rom");
    load = firmware::loadImage(missing);
    EXPECT_EQ(load.error, QStringLiteral("File not found \"%1\"").arg(missing));

    QDir(dir.path()).mkdir("folder.rom");
    load = firmware::loadImage(dir.filePath("folder.rom"));
    EXPECT_FALSE(load.ok);
    EXPECT_TRUE(load.error.contains(dir.filePath("folder.rom")));
}

// Answers the file dialog of "Open File" as a user would, recording its settings.
struct DialogAnswer {
    QString choose;  // empty: cancel
    QString title, directory, typed, suffix;
    QStringList filters;
    QString selectedFilter;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    bool seen = false;
};

void answerDialog(DialogAnswer& a) {
    QTimer::singleShot(20, [&a] {
        auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!d) return answerDialog(a);
        a.seen = true;
        a.title = d->windowTitle();
        a.directory = d->directory().absolutePath();
        a.filters = d->nameFilters();
        a.selectedFilter = d->selectedNameFilter();
        a.suffix = d->defaultSuffix();
        a.mode = d->fileMode();
        if (auto* edit = d->findChild<QLineEdit*>("fileNameEdit")) a.typed = edit->text();
        if (a.choose.isEmpty()) {
            d->reject();
        } else {
            // As a user would: type the name and press Open.
            if (auto* edit = d->findChild<QLineEdit*>("fileNameEdit")) edit->setText(a.choose);
            QMetaObject::invokeMethod(d, "accept");
        }
    });
}

TEST(OpenFile, DialogSettingsAndTheImageItLoads) {
    QTemporaryDir dir;
    const QByteArray file = bytesWithTrailer(600, 300);
    TForm1 form;
    DialogAnswer a;
    a.choose = writeFile(dir, "fw.rom", file);
    answerDialog(a);
    form.btOpenFile->click();
    ASSERT_TRUE(a.seen);
    EXPECT_EQ(a.title, QStringLiteral("Select the file to download"));
    EXPECT_EQ(a.directory, QDir::currentPath());
    EXPECT_EQ(a.filters, (QStringList{"Files Excel (*.rom)", "All files (*.*)"}));
    EXPECT_EQ(a.selectedFilter, QStringLiteral("Files Excel (*.rom)"));
    EXPECT_EQ(a.suffix, QStringLiteral("rom"));
    EXPECT_EQ(a.mode, QFileDialog::ExistingFile);
    EXPECT_EQ(a.typed, QStringLiteral("*.rom"));
    ASSERT_TRUE(form.FOPEN);
    EXPECT_EQ(form.F->data(), file.mid(300));
    EXPECT_EQ(form.F->pos(), 300);
    EXPECT_TRUE(th::logLines(form).isEmpty());
}

TEST(OpenFile, AnotherFileReplacesTheImageAndCancellingDropsIt) {
    QTemporaryDir dir;
    TForm1 form;
    ASSERT_TRUE(form.loadFirmware(writeFile(dir, "one.rom", bytesWithTrailer(100, 0))));
    ASSERT_TRUE(form.loadFirmware(writeFile(dir, "two.rom", bytesWithTrailer(50, 0))));
    EXPECT_EQ(form.F->size(), 50);
    DialogAnswer a;
    answerDialog(a);
    form.btOpenFile->click();
    ASSERT_TRUE(a.seen);
    EXPECT_FALSE(form.FOPEN);
    EXPECT_EQ(form.F, nullptr);
}

TEST(OpenFile, FailuresShowABoxAndLeaveNoImage) {
    QTemporaryDir dir;
    TForm1 form;
    th::ModalCatcher catcher;
    ASSERT_TRUE(form.loadFirmware(writeFile(dir, "one.rom", bytesWithTrailer(100, 0))));
    EXPECT_FALSE(form.loadFirmware(writeFile(dir, "bad.rom", bytesWithTrailer(100, 500))));
    ASSERT_EQ(catcher.boxes.size(), 1u);
    EXPECT_EQ(catcher.boxes[0].text, QStringLiteral("Stream read error"));
    EXPECT_FALSE(form.FOPEN);
    const QString missing = dir.filePath("gone.rom");
    EXPECT_FALSE(form.loadFirmware(missing));
    ASSERT_EQ(catcher.boxes.size(), 2u);
    EXPECT_EQ(catcher.boxes[1].text, QStringLiteral("File not found \"%1\"").arg(missing));
    EXPECT_FALSE(form.loadFirmware(writeFile(dir, "short.rom", QByteArray("ab"))));
    EXPECT_EQ(catcher.boxes.size(), 3u);
    EXPECT_FALSE(form.FOPEN);
}

// A sparse file of `size` bytes whose trailer is 0: the whole file is the image.
QString sparseFile(const QTemporaryDir& dir, const char* name, qint64 size) {
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || !f.resize(size)) return {};
    return path;
}

TEST(FirmwareImage, AnImageOverTheBoundIsRefusedBeforeItIsRead) {
    QTemporaryDir dir;
    const QString atBound = sparseFile(dir, "at.rom", firmware::kMaxImageBytes);
    ASSERT_FALSE(atBound.isEmpty());
    auto load = firmware::loadImage(atBound);
    ASSERT_TRUE(load.ok);
    EXPECT_EQ(load.image.size(), firmware::kMaxImageBytes);

    const QString over = sparseFile(dir, "over.rom", firmware::kMaxImageBytes + 1);
    load = firmware::loadImage(over);
    EXPECT_FALSE(load.ok);
    EXPECT_TRUE(load.image.isEmpty());
    EXPECT_EQ(load.error, QStringLiteral("The image in \"%1\" is 16777217 bytes long, more than "
                                         "the 16777216 bytes (16 MiB) that the configurator loads")
                              .arg(over));
}

TEST(OpenFile, AHugeSparseFileGivesTheBoxAndTheProgramLives) {
    QTemporaryDir dir;
    const QString huge = sparseFile(dir, "huge.rom", 32LL * 1024 * 1024 * 1024);
    ASSERT_FALSE(huge.isEmpty());
    TForm1 form;
    th::ModalCatcher catcher;
    EXPECT_FALSE(form.loadFirmware(huge));
    ASSERT_EQ(catcher.boxes.size(), 1u);
    EXPECT_EQ(catcher.boxes[0].caption, QStringLiteral("Error"));
    EXPECT_TRUE(catcher.boxes[0].text.contains("34359738368 bytes long"))
        << catcher.boxes[0].text.toStdString();
    EXPECT_FALSE(form.FOPEN);
    // Still alive, and a sound file loads after it.
    EXPECT_TRUE(form.loadFirmware(writeFile(dir, "fw.rom", bytesWithTrailer(300, 0))));
}

// Files that are no regular files never reach an open that could block the window.
TEST(OpenFile, OnlyRegularFilesAreFirmwareFiles) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath("x.rom");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    TForm1 form;
    th::ModalCatcher catcher;
    DialogAnswer a;
    a.choose = fifo;
    answerDialog(a);
    const long long ms = th::timedMs([&] { form.btOpenFile->click(); });
    ASSERT_TRUE(a.seen);
    EXPECT_LT(ms, 1000);
    ASSERT_EQ(catcher.boxes.size(), 1u);
    EXPECT_EQ(catcher.boxes[0].text,
              QStringLiteral("Cannot open file \"%1\". It is not a regular file.").arg(fifo));
    EXPECT_FALSE(form.FOPEN);

    // A device is no firmware file either.
    const auto load = firmware::loadImage(QStringLiteral("/dev/null"));
    EXPECT_FALSE(load.ok);
    EXPECT_EQ(load.error,
              QStringLiteral("Cannot open file \"/dev/null\". It is not a regular file."));
}

}  // namespace
