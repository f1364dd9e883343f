#include "device/settings_file.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <cstdlib>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

#include "link/frame.h"

namespace device {

namespace {

constexpr int kKeptBackups = 1000;

template <std::size_t N>
bool fromHex(const QString& text, std::array<uint8_t, N>& out) {
    const QByteArray bytes = QByteArray::fromHex(text.toLatin1());
    if (text.size() != static_cast<qsizetype>(2 * N) || bytes.size() != static_cast<qsizetype>(N))
        return false;
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return true;
}

// An integer from lo to hi under key, or a reason.
std::optional<int> integer(const QJsonObject& o, const char* key, int lo, int hi, QString* error) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isDouble() || v.toDouble() != static_cast<double>(v.toInt()) || v.toInt() < lo ||
        v.toInt() > hi) {
        *error = v.isUndefined() ? QStringLiteral("\"%1\" is missing").arg(QLatin1String(key))
                                 : QStringLiteral("\"%1\" is not a whole number from %2 to %3")
                                       .arg(QLatin1String(key))
                                       .arg(lo)
                                       .arg(hi);
        return std::nullopt;
    }
    return v.toInt();
}

std::optional<bool> boolean(const QJsonObject& o, const QString& key, QString* error) {
    const QJsonValue v = o.value(key);
    if (!v.isBool()) {
        *error = v.isUndefined() ? QStringLiteral("\"%1\" is missing").arg(key)
                                 : QStringLiteral("\"%1\" is not true or false").arg(key);
        return std::nullopt;
    }
    return v.toBool();
}

}  // namespace

QString modelName(uint8_t code) {
    const std::optional<ModelRow> row = modelRow(code);
    return row && row->named ? QString::fromLatin1(row->logName) : QString();
}

QJsonObject modelJson(int code, const QString& name) {
    return QJsonObject{{"code", code}, {"name", name}};
}

SettingsRecord recordOf(const Identity& who, const ParamRead& params, const FilterRead* filters) {
    SettingsRecord r;
    r.modelCode = who.version[3];
    r.modelName = modelName(r.modelCode);
    r.firmware = who.firmware();
    r.settings = params.decoded.settings;
    r.paramBlock = params.block;
    if (filters && filters->reply == comlink::Reply::Accepted) {
        r.filterBlock = filters->block;
        if (filters->signatureValid) r.filters = filters->choice;
    }
    return r;
}

QJsonObject settingsJson(const SettingsRecord& r) {
    QJsonObject settings;
    for (const SettingRow& k : kSettings)
        settings[QLatin1String(k.key)] =
            k.member ? QJsonValue(r.settings.*k.member) : QJsonValue(k.value(r.settings));
    QJsonObject record{{"paramBlock", hexText(r.paramBlock.data(), r.paramBlock.size())}};
    if (r.filterBlock)
        record["filterBlock"] = hexText(r.filterBlock->data(), r.filterBlock->size());
    QJsonObject o{{"format", kSettingsFormat},
                  {"model", modelJson(r.modelCode, r.modelName)},
                  {"firmware", r.firmware},
                  {"settings", settings},
                  {"record", record}};
    if (!r.adapterSerial.isEmpty()) o["adapterSerial"] = r.adapterSerial;
    if (r.filters) {
        QJsonObject boxes;
        for (int i = 0; i < filters::kBoxCount; ++i)
            boxes[QLatin1String(kFilterKeys[i].name)] = (*r.filters)[i];
        o["filters"] = boxes;
    }
    return o;
}

std::optional<SettingsRecord> settingsFromJson(const QJsonObject& o, QString* error) {
    const QJsonValue format = o.value(QLatin1String("format"));
    if (!format.isDouble()) {
        *error = QStringLiteral("it has no \"format\": no settings file of this program");
        return std::nullopt;
    }
    if (format.toInt() != kSettingsFormat) {
        *error = QStringLiteral("its format %1 is not this program's (%2)")
                     .arg(format.toDouble())
                     .arg(kSettingsFormat);
        return std::nullopt;
    }
    SettingsRecord r;
    const QJsonObject model = o.value(QLatin1String("model")).toObject();
    const auto code = integer(model, "code", 0, 255, error);
    if (!code) {
        *error = QStringLiteral("model: ") + *error;
        return std::nullopt;
    }
    r.modelCode = static_cast<uint8_t>(*code);
    r.modelName = model.value(QLatin1String("name")).toString();
    r.firmware = o.value(QLatin1String("firmware")).toString();
    r.adapterSerial = o.value(QLatin1String("adapterSerial")).toString();

    const QJsonObject s = o.value(QLatin1String("settings")).toObject();
    if (s.isEmpty()) {
        *error = QStringLiteral("\"settings\" is missing");
        return std::nullopt;
    }
    for (const SettingRow& k : kSettings) {
        if (k.member) {
            const auto b = boolean(s, QLatin1String(k.key), error);
            if (!b) return std::nullopt;
            r.settings.*k.member = *b;
        } else {
            const auto v = integer(s, k.key, 0, k.fileMax, error);
            if (!v) return std::nullopt;
            k.set(r.settings, *v);
        }
    }
    if (o.contains(QLatin1String("filters"))) {
        const QJsonObject f = o.value(QLatin1String("filters")).toObject();
        filters::BoxStates choice{};
        for (int i = 0; i < filters::kBoxCount; ++i) {
            const auto b = boolean(f, QLatin1String(kFilterKeys[i].name), error);
            if (!b) {
                *error = QStringLiteral("filters: ") + *error;
                return std::nullopt;
            }
            choice[i] = *b;
        }
        r.filters = choice;
    }
    const QJsonObject record = o.value(QLatin1String("record")).toObject();
    if (!fromHex(record.value(QLatin1String("paramBlock")).toString(), r.paramBlock)) {
        *error = QStringLiteral("record: \"paramBlock\" is not 9 bytes in hexadecimal");
        return std::nullopt;
    }
    if (record.contains(QLatin1String("filterBlock"))) {
        std::array<uint8_t, filters::kBlockSize> block{};
        if (!fromHex(record.value(QLatin1String("filterBlock")).toString(), block)) {
            *error = QStringLiteral("record: \"filterBlock\" is not 32 bytes in hexadecimal");
            return std::nullopt;
        }
        r.filterBlock = block;
    }
    return r;
}

bool writeSettingsFile(const QString& path, const SettingsRecord& r, QString* error) {
    QSaveFile f(path);
    if (f.open(QIODevice::WriteOnly)) {
        f.write(QJsonDocument(settingsJson(r)).toJson());
        if (f.commit()) return true;
    }
    *error = QStringLiteral("%1: %2").arg(path, f.errorString());
    return false;
}

std::optional<SettingsRecord> readSettingsFile(const QString& path, QString* error,
                                               QString* sha256) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return std::nullopt;
    }
    const QByteArray bytes = f.readAll();
    if (sha256)
        *sha256 = QString::fromLatin1(
            QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parse);
    if (parse.error != QJsonParseError::NoError || !doc.isObject()) {
        *error = QStringLiteral("%1: not a settings file: %2")
                     .arg(path, parse.error != QJsonParseError::NoError
                                    ? parse.errorString() +
                                          QStringLiteral(" at byte %1").arg(parse.offset)
                                    : QStringLiteral("no JSON object"));
        return std::nullopt;
    }
    QString why;
    auto r = settingsFromJson(doc.object(), &why);
    if (!r) *error = QStringLiteral("%1: %2").arg(path, why);
    return r;
}

QString backupFolder() {
    QString data = qEnvironmentVariable("XDG_DATA_HOME");
    if (data.isEmpty()) {
        QString home = qEnvironmentVariable("HOME");
#ifdef Q_OS_UNIX
        if (home.isEmpty())
            if (const passwd* pw = ::getpwuid(::getuid()))
                home = QString::fromLocal8Bit(pw->pw_dir);
#endif
        if (home.isEmpty()) home = QDir::homePath();
        data = home + QStringLiteral("/.local/share");
    }
    return data + QStringLiteral("/torvik-config/backups");
}

QString fileNamePart(const QString& port) {
    QString part = port;
    for (QChar& c : part)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('.') &&
            c != QLatin1Char('-'))
            c = QLatin1Char('_');
    return part;
}

QString backupSettings(const QString& port, const SettingsRecord& r, QString* error) {
    const QString folder = backupFolder();
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot make the folder %1").arg(folder);
        return {};
    }
    const QString portPart = fileNamePart(port);
    const QString name =
        QStringLiteral("%1-%2-model%3.json")
            .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")),
                 portPart)
            .arg(r.modelCode);
    const QString path = folder + QLatin1Char('/') + name;
    if (!writeSettingsFile(path, r, error)) return {};
    // The newest are kept; a file another program removed first is no error.
    QStringList all = QDir(folder).entryList({QStringLiteral("*.json")}, QDir::Files, QDir::Name);
    for (qsizetype i = 0; i + kKeptBackups < all.size(); ++i)
        QFile::remove(folder + QLatin1Char('/') + all[i]);
    return path;
}

BackupWriter::~BackupWriter() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void BackupWriter::add(const QString& port, const SettingsRecord& r, Done done) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back({port, r, std::move(done)});
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    }
    changed_.notify_all();
}

void BackupWriter::waitUntilWritten() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return jobs_.empty() && !busy_; });
}

void BackupWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return ending_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // ending, and everything is written
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        lock.unlock();
        QString error;
        const QString path = backupSettings(job.port, job.record, &error);
        if (job.done) job.done(path, error);
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

QString isoTimeWithOffset(const QDateTime& t) {
    const int offset = t.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + (offset < 0 ? '-' : '+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

bool appendRecordLine(const QString& path, const QByteArray& line, QString* error) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return false;
    }
    // Unbuffered: the whole line is one write(2) under O_APPEND.
    if (f.write(line) != line.size()) {
        *error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return false;
    }
#ifdef Q_OS_UNIX
    if (::fsync(f.handle()) != 0) {
        *error = QStringLiteral("%1: the line was not flushed to the disk").arg(path);
        return false;
    }
#endif
    return true;
}

}  // namespace device
