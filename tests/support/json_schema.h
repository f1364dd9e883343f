#pragma once

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QString>
#include <QStringList>
#include <cmath>

// The JSON Schemas the package installs (packaging/schemas), and a validator of the part of JSON
// Schema 2020-12 that they use: type, const, enum, properties, required, additionalProperties,
// dependentRequired, items, pattern, minLength, minimum, maximum, oneOf and $ref (to "#/$defs/…"
// and to another of the files). A keyword it does not know fails the validation: a schema is
// never taken as checked where it was not.
namespace th {

class JsonSchemas {
public:
    // Every *.schema.json of the folder, by its file name.
    explicit JsonSchemas(const QString& folder = QStringLiteral(TORVIK_SCHEMA_DIR)) {
        for (const QString& name : QDir(folder).entryList({"*.schema.json"}, QDir::Files)) {
            QFile f(QDir(folder).filePath(name));
            if (f.open(QIODevice::ReadOnly))
                schemas_[name] = QJsonDocument::fromJson(f.readAll()).object();
        }
    }

    bool has(const QString& name) const { return schemas_.contains(name); }

    // What is wrong with the document against the schema of that file name, one line a fault;
    // none when it is valid.
    QStringList errors(const QString& schema, const QJsonValue& document) const {
        QStringList out;
        if (!schemas_.contains(schema))
            out << QStringLiteral("no schema %1").arg(schema);
        else
            check(schema, schemas_[schema], document, QStringLiteral("$"), out);
        return out;
    }
    QStringList errors(const QString& schema, const QByteArray& json) const {
        QJsonParseError e;
        const QJsonDocument d = QJsonDocument::fromJson(json, &e);
        if (e.error != QJsonParseError::NoError)
            return {QStringLiteral("not JSON: %1").arg(e.errorString())};
        return errors(schema, d.isObject() ? QJsonValue(d.object()) : QJsonValue(d.array()));
    }

private:
    static QString typeOf(const QJsonValue& v) {
        switch (v.type()) {
            case QJsonValue::Null:
                return "null";
            case QJsonValue::Bool:
                return "boolean";
            case QJsonValue::Double:
                return "number";
            case QJsonValue::String:
                return "string";
            case QJsonValue::Array:
                return "array";
            case QJsonValue::Object:
                return "object";
            default:
                return "undefined";
        }
    }
    static bool isType(const QJsonValue& v, const QString& type) {
        if (type == "integer") return v.isDouble() && std::floor(v.toDouble()) == v.toDouble();
        return typeOf(v) == type;
    }

    void check(const QString& file, const QJsonObject& s, const QJsonValue& v, const QString& at,
               QStringList& out) const {
        static const QSet<QString> kNotes{"$schema", "$id", "$defs", "title", "description"};
        for (auto it = s.begin(); it != s.end(); ++it) {
            const QString key = it.key();
            const QJsonValue k = it.value();
            if (kNotes.contains(key)) continue;
            if (key == "type") {
                QStringList types;
                if (k.isArray())
                    for (const QJsonValue& t : k.toArray()) types << t.toString();
                else
                    types << k.toString();
                bool any = false;
                for (const QString& t : types) any = any || isType(v, t);
                if (!any)
                    out << QStringLiteral("%1: %2, not %3").arg(at, typeOf(v), types.join('|'));
            } else if (key == "const") {
                if (v != k) out << QStringLiteral("%1: not the constant").arg(at);
            } else if (key == "enum") {
                if (!k.toArray().contains(v))
                    out << QStringLiteral("%1: %2 is none of the values")
                               .arg(at, QString::fromUtf8(QJsonDocument(QJsonArray{v})
                                                              .toJson(QJsonDocument::Compact)));
            } else if (key == "properties" || key == "required" || key == "additionalProperties" ||
                       key == "dependentRequired") {
                if (!v.isObject()) continue;
                const QJsonObject o = v.toObject();
                const QJsonObject props = s.value("properties").toObject();
                if (key == "properties") {
                    for (auto p = props.begin(); p != props.end(); ++p)
                        if (o.contains(p.key()))
                            check(file, p.value().toObject(), o.value(p.key()), at + '.' + p.key(),
                                  out);
                } else if (key == "required") {
                    for (const QJsonValue& r : k.toArray())
                        if (!o.contains(r.toString()))
                            out << QStringLiteral("%1: \"%2\" is missing").arg(at, r.toString());
                } else if (key == "dependentRequired") {
                    const QJsonObject deps = k.toObject();
                    for (auto d = deps.begin(); d != deps.end(); ++d)
                        if (o.contains(d.key()))
                            for (const QJsonValue& r : d.value().toArray())
                                if (!o.contains(r.toString()))
                                    out << QStringLiteral("%1: \"%2\" without \"%3\"")
                                               .arg(at, d.key(), r.toString());
                } else {
                    for (auto p = o.begin(); p != o.end(); ++p) {
                        if (props.contains(p.key())) continue;
                        if (k.isBool()) {
                            if (!k.toBool())
                                out << QStringLiteral("%1: \"%2\" is not allowed").arg(at, p.key());
                        } else {
                            check(file, k.toObject(), p.value(), at + '.' + p.key(), out);
                        }
                    }
                }
            } else if (key == "items") {
                const QJsonArray a = v.toArray();
                for (qsizetype i = 0; v.isArray() && i < a.size(); ++i)
                    check(file, k.toObject(), a[i], QStringLiteral("%1[%2]").arg(at).arg(i), out);
            } else if (key == "pattern") {
                if (v.isString() &&
                    !QRegularExpression(k.toString()).match(v.toString()).hasMatch())
                    out << QStringLiteral("%1: \"%2\" does not match %3")
                               .arg(at, v.toString(), k.toString());
            } else if (key == "minLength") {
                if (v.isString() && v.toString().size() < k.toInt())
                    out << QStringLiteral("%1: shorter than %2").arg(at).arg(k.toInt());
            } else if (key == "minimum" || key == "maximum") {
                if (!v.isDouble()) continue;
                if (key == "minimum" ? v.toDouble() < k.toDouble() : v.toDouble() > k.toDouble())
                    out << QStringLiteral("%1: %2 is out of range (%3 %4)")
                               .arg(at)
                               .arg(v.toDouble())
                               .arg(key)
                               .arg(k.toDouble());
            } else if (key == "oneOf") {
                int matching = 0;
                QStringList why;
                for (const QJsonValue& alternative : k.toArray()) {
                    QStringList e;
                    check(file, alternative.toObject(), v, at, e);
                    if (e.isEmpty())
                        ++matching;
                    else
                        why << e.join("; ");
                }
                if (matching != 1)
                    out << QStringLiteral("%1: matches %2 of the alternatives (%3)")
                               .arg(at)
                               .arg(matching)
                               .arg(why.join(" | "));
            } else if (key == "$ref") {
                const QString ref = k.toString();
                const qsizetype hash = ref.indexOf('#');
                const QString target = hash == 0 ? file : ref.left(hash < 0 ? ref.size() : hash);
                if (!schemas_.contains(target)) {
                    out << QStringLiteral("%1: no schema %2").arg(at, target);
                    continue;
                }
                QJsonObject to = schemas_[target];
                if (hash >= 0)
                    for (const QString& part : ref.mid(hash + 1).split('/', Qt::SkipEmptyParts))
                        to = to.value(part).toObject();
                check(target, to, v, at, out);
            } else {
                out << QStringLiteral("%1: the validator does not know \"%2\"").arg(at, key);
            }
        }
    }

    QMap<QString, QJsonObject> schemas_;
};

// The schemas of the package, read once.
inline const JsonSchemas& schemas() {
    static const JsonSchemas s;
    return s;
}

// Empty when the file (a .jsonl: each of its lines) is valid against the schema; otherwise
// what is wrong, with the file's name.
inline QString schemaErrors(const QString& schema, const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QStringLiteral("%1: cannot be read").arg(path);
    const QByteArray all = f.readAll();
    QStringList errors;
    const QList<QByteArray> documents =
        path.endsWith(".jsonl") ? all.split('\n') : QList<QByteArray>{all};
    for (const QByteArray& d : documents)
        if (!d.trimmed().isEmpty()) errors += schemas().errors(schema, d);
    return errors.isEmpty() ? QString() : path + QStringLiteral(": ") + errors.join('\n');
}

// The JSON documents of a torvik-cli run, each against its schema: the output of --json (one
// object for read and diff on one port, JSON Lines events on several), the file of backup, the
// lines of --units. Empty when they all are valid.
inline QString cliDocumentErrors(const QStringList& args, const QString& out) {
    static const QStringList kValued{
        "--port",      "--trace", "--units",     "--support-record", "--protocol",  "--type-code",
        "--protocol2", "--set",   "--open-time", "--stall-timeout",  "--completion"};
    QString command, units;
    QStringList operands;
    int ports = 0;
    bool several = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (kValued.contains(a) && i + 1 < args.size()) {
            if (a == "--port") ports += args[i + 1].split(',', Qt::SkipEmptyParts).size();
            if (a == "--units") units = args[i + 1];
            ++i;
        } else if (a == "--all" || a == "--watch") {
            several = true;
        } else if (!a.startsWith("--")) {
            if (command.isEmpty())
                command = a;
            else
                operands << a;
        }
    }
    several = several || ports > 1;
    QStringList errors;
    if (args.contains("--json") && !out.trimmed().isEmpty()) {
        if (several) {
            for (const QString& line : out.split('\n', Qt::SkipEmptyParts))
                errors += schemas().errors("events.schema.json", line.toUtf8());
        } else if (command == "read" || command == "diff") {
            errors += schemas().errors(command + ".schema.json", out.toUtf8());
        }
    }
    if (command == "backup" && !operands.isEmpty() && QFile::exists(operands[0]))
        errors << schemaErrors("settings-file.schema.json", operands[0]);
    if (!units.isEmpty() && QFile::exists(units))
        errors << schemaErrors("units.schema.json", units);
    errors.removeAll(QString());
    return errors.join('\n');
}

// Every settings file under the folder and below it that a backup wrote (*/backups/*.json).
inline QString backupErrors(const QString& folder) {
    QStringList errors;
    QDirIterator it(folder, {"*.json"}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (QFileInfo(path).dir().dirName() == "backups")
            errors << schemaErrors("settings-file.schema.json", path);
    }
    errors.removeAll(QString());
    return errors.join('\n');
}

}  // namespace th
