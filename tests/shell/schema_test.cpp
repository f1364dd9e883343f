// The published JSON Schemas: what torvik-cli writes is valid against them, what breaks them is
// not, and python3-jsonschema (an implementation of its own, which also checks each schema
// against the meta-schema) gives the same verdicts as the suite's validator.

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <functional>

#include <gtest/gtest.h>

#include "device/settings.h"
#include "shell/cli.h"
#include "tests/support/cli_run.h"
#include "tests/support/harness.h"
#include "tests/support/json_schema.h"

namespace {

constexpr std::array<uint8_t, 9> kBlock{0x01, 0x41, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00};

QJsonObject objectOf(const QString& json) {
    return QJsonDocument::fromJson(json.toUtf8()).object();
}

QJsonObject fileObject(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return QJsonDocument::fromJson(f.readAll()).object();
}

// A document, and the same broken in one way each.
struct Broken {
    const char* what;
    std::function<void(QJsonObject&)> change;
};

QJsonObject changed(QJsonObject o, const QString& path, const QJsonValue& value) {
    // "a.b.c": the member to set (an undefined value removes it).
    const QStringList keys = path.split('.');
    std::function<void(QJsonObject&, qsizetype)> go = [&](QJsonObject& at, qsizetype i) {
        if (i == keys.size() - 1) {
            if (value.isUndefined())
                at.remove(keys[i]);
            else
                at[keys[i]] = value;
            return;
        }
        QJsonObject inner = at[keys[i]].toObject();
        go(inner, i + 1);
        at[keys[i]] = inner;
    };
    go(o, 0);
    return o;
}

class Schemas : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        th::setModel(com5.reader, 15, kBlock);
        th::setModel(com6.reader, 13, kBlock);
        read = objectOf(th::runCli({"--port", "COM5", "read", "--json"}).out);
        ASSERT_FALSE(read.isEmpty());
        const QString backup = dir.filePath("b.json");
        ASSERT_EQ(th::runCli({"--port", "COM5", "backup", backup}).exitCode, cli::kOk);
        settings = fileObject(backup);
        const th::CliRun events = th::runCli({"--port", "COM5,COM6", "--json", "read"});
        ASSERT_EQ(events.exitCode, cli::kOk)
            << events.out.toStdString() << events.err.toStdString();
        for (const QString& line : events.out.split('\n', Qt::SkipEmptyParts))
            lines << objectOf(line);
        ASSERT_GE(lines.size(), 5) << events.out.toStdString() << events.err.toStdString();
    }

    // The faults of the document against the schema, by both validators: the suite's and
    // python3-jsonschema's, which must agree.
    bool valid(const QString& schema, const QJsonObject& document) {
        const bool ours = th::schemas().errors(schema, QJsonValue(document)).isEmpty();
        if (!python) return ours;
        const QString file = dir.filePath(QStringLiteral("doc%1.json").arg(++count));
        QFile f(file);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QJsonDocument(document).toJson());
        f.close();
        QProcess p;
        p.start(
            "/usr/bin/python3",
            {"-W", "ignore", QStringLiteral(TORVIK_SOURCE_DIR) + "/tests/support/check_schema.py",
             QStringLiteral(TORVIK_SCHEMA_DIR), schema, file});
        EXPECT_TRUE(p.waitForFinished(30000));
        const bool theirs = p.exitCode() == 0;
        EXPECT_EQ(ours, theirs) << schema.toStdString() << " "
                                << QJsonDocument(document).toJson().toStdString()
                                << p.readAllStandardOutput().toStdString()
                                << p.readAllStandardError().toStdString();
        return ours;
    }

    static bool havePython() {
        return QProcess::execute("/usr/bin/python3", {"-c", "import jsonschema"}) == 0;
    }

    QTemporaryDir dir;
    th::LinkedReader com5{5};
    th::LinkedReader com6{6};
    QJsonObject read, settings;
    QList<QJsonObject> lines;
    bool python = havePython();
    int count = 0;
};

TEST_F(Schemas, WhatTorvikCliWritesIsValidAndEachFaultIsCaught) {
    if (!python) ADD_FAILURE() << "python3-jsonschema is missing (scripts/deps.sh installs it)";
    EXPECT_TRUE(valid("read.schema.json", read));
    EXPECT_TRUE(valid("settings-file.schema.json", settings));
    for (const QJsonObject& e : lines) EXPECT_TRUE(valid("events.schema.json", e));
    // The read report rides in the end event of each port: the reference to the other file.
    EXPECT_TRUE(lines.back()["kind"] == "summary");

    const std::vector<std::tuple<const char*, QJsonObject, const char*, QJsonValue>> faults{
        {"settings-file.schema.json", settings, "format", 2},
        {"settings-file.schema.json", settings, "settings.protocol2", 4},
        {"settings-file.schema.json", settings, "settings.cbLock", 1},
        {"settings-file.schema.json", settings, "settings.openTimeMs", 6553501},
        {"settings-file.schema.json", settings, "settings.cbNoSuchBox", true},
        {"settings-file.schema.json", settings, "record.paramBlock", "01410000000A0000"},
        {"settings-file.schema.json", settings, "firmware", "1.7"},
        {"settings-file.schema.json", settings, "model", QJsonValue::Undefined},
        {"settings-file.schema.json", settings, "filters.cbZero", QJsonValue::Undefined},
        {"read.schema.json", read, "mode.text", "guarded"},
        {"read.schema.json", read, "settings.protocol.index", 256},
        {"read.schema.json", read, "settings.options.cbLock.shown", QJsonValue::Undefined},
        {"read.schema.json", read, "paramBlock", QJsonValue::Undefined},
        {"read.schema.json", read, "log", "OK"},
        {"events.schema.json", lines.first(), "kind", "begin"},
        {"events.schema.json", lines.first(), "port", QJsonValue::Null},
        {"events.schema.json", lines.last(), "reasons.timeout", "one"},
    };
    for (const auto& [schema, document, path, value] : faults)
        EXPECT_FALSE(valid(schema, changed(document, path, value))) << schema << " " << path;
    // An end event whose read report breaks the read schema.
    for (const QJsonObject& e : lines)
        if (e["kind"] == "end") {
            EXPECT_TRUE(e.contains("read"));
            EXPECT_FALSE(valid("events.schema.json", changed(e, "read.filtersRead", "yes")));
        }
}

TEST(SchemaValidator, AKeywordItDoesNotKnowFailsInsteadOfPassing) {
    QTemporaryDir dir;
    QFile f(dir.filePath("odd.schema.json"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(R"({"type": "object", "patternProperties": {"^x": {"type": "string"}}})");
    f.close();
    const th::JsonSchemas odd(dir.path());
    EXPECT_FALSE(odd.errors("odd.schema.json", QJsonValue(QJsonObject{{"x", 1}})).isEmpty());
}

}  // namespace

namespace {

// The names the published schemas give the settings are the settings table's: a row added to the
// table and not to the schemas (or the reverse) fails here. Each setting's type and range too.
TEST(SchemaNames, AreTheSettingsTables) {
    const QJsonObject file = fileObject(QStringLiteral(TORVIK_SCHEMA_DIR) +
                                        QStringLiteral("/settings-file.schema.json"))["properties"]
                                 .toObject();
    const QJsonObject settings = file["settings"].toObject()["properties"].toObject();
    QStringList keys;
    for (const device::SettingRow& r : device::kSettings) {
        keys << QLatin1String(r.key);
        const QJsonObject s = settings[QLatin1String(r.key)].toObject();
        if (r.member) {
            EXPECT_EQ(s["type"].toString(), QStringLiteral("boolean")) << r.key;
        } else {
            EXPECT_EQ(s["type"].toString(), QStringLiteral("integer")) << r.key;
            EXPECT_EQ(s["maximum"].toInt(), r.fileMax) << r.key;
        }
    }
    QStringList schemaKeys = settings.keys();
    keys.sort();
    EXPECT_EQ(schemaKeys, keys);
    QStringList filterKeys;
    for (const device::FilterKey& k : device::kFilterKeys) filterKeys << QLatin1String(k.name);
    filterKeys.sort();
    EXPECT_EQ(file["filters"].toObject()["properties"].toObject().keys(), filterKeys);

    const QJsonObject read = fileObject(QStringLiteral(TORVIK_SCHEMA_DIR) +
                                        QStringLiteral("/read.schema.json"))["properties"]
                                 .toObject()["settings"]
                                 .toObject()["properties"]
                                 .toObject();
    QStringList options;
    for (const device::SettingRow& r : device::kOptionKeys) options << QLatin1String(r.name);
    options.sort();
    EXPECT_EQ(read["options"].toObject()["properties"].toObject().keys(), options);
}

}  // namespace
