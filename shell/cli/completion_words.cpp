// The words of the completion scripts: what the command table and the reader layer's lists
// offer, and the shells' quoting.

#include "shell/cli/completion_words.h"

#include "device/protocol_lists.h"
#include "device/settings.h"

namespace cli::completion {

namespace {

QStringList unique(QStringList words) {
    words.removeDuplicates();
    return words;
}

template <std::size_t N>
QStringList listOf(const char* const (&entries)[N]) {
    QStringList l;
    for (const char* e : entries) l << QString::fromLatin1(e);
    return l;
}

int operandCount(const CommandRow& c) {
    return (c.operand ? 1 : 0) + (c.operand2 ? 1 : 0);
}

}  // namespace

const QStringList kShells{"bash", "zsh", "fish"};

// The options offered with every command: those every command takes, --json (which every
// command takes on several ports), and those that stand alone.
QStringList globalOptions() {
    QStringList l;
    for (const OptionRow& o : runOptions()) l << QStringLiteral("--") + QLatin1String(o.name);
    return l << QStringLiteral("--json") << QStringLiteral("--help") << QStringLiteral("--version")
             << QStringLiteral("--completion");
}

// The entries a list option may take, as the lists show them.
QStringList entriesOf(const OptionRow& o) {
    switch (o.values) {
        case Values::ProtocolEntries:
            return unique(listOf(device::kProtocolWithParity) +
                          listOf(device::kProtocolWithoutParity));
        case Values::TypeCodeEntries:
            return listOf(device::kTypeCodeEntries);
        case Values::SecondEntries:
            return unique(listOf(device::kSecondProtocolEntries) +
                          listOf(device::kSecondProtocolEntriesModel6));
        case Values::SettingNames: {
            QStringList names;
            for (const device::SettingRow& r : device::kSettings)
                names << QString::fromLatin1(r.name);
            return names + controlNames(SetBoxes::Filters);
        }
        default:
            return {};
    }
}

// The control names --set takes: the boxes of one kind, or (None) of both.
QStringList controlNames(SetBoxes boxes) {
    QStringList names;
    if (boxes != SetBoxes::Filters)
        for (const device::OptionKey& k : device::kOptionKeys) names << QString::fromLatin1(k.name);
    if (boxes != SetBoxes::Options)
        for (const device::FilterKey& k : device::kFilterKeys) names << QString::fromLatin1(k.name);
    return names;
}

QStringList withEquals(QStringList names) {
    for (QString& n : names) n += QLatin1Char('=');
    return names;
}

// The options that take a value: the word after one is no command or operand.
QStringList valuedOptions() {
    QStringList l{QStringLiteral("--completion")};
    for (const auto& list : {runOptions(), options()})
        for (const OptionRow& o : list)
            if (o.value) l << QStringLiteral("--") + QLatin1String(o.name);
    return l;
}

QStringList commandNames() {
    QStringList l;
    for (const CommandRow& c : commands()) l << QString::fromLatin1(c.name);
    return l;
}

QStringList commandOptions(const CommandRow& c) {
    QStringList l;
    for (const char* o : c.options) l << QStringLiteral("--") + QLatin1String(o);
    return l;
}

std::vector<FileOperands> fileOperands() {
    std::vector<FileOperands> l;
    for (const CommandRow& c : commands())
        if (c.operandSuffix)
            l.push_back({QString::fromLatin1(c.name), operandCount(c),
                         QLatin1String(c.operandSuffix), c.port == PortUse::Optional});
    return l;
}

// Text in single quotes for all three shells.
QString shellQuoted(const QString& s) {
    QString q = s;
    q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + q + QLatin1Char('\'');
}

QString quotedWords(const QStringList& words) {
    QStringList q;
    for (const QString& w : words) q << shellQuoted(w);
    return q.join(QLatin1Char(' '));
}

// The words one a line, in single quotes, for bash's reply helper.
QString lines(const QStringList& words) {
    return shellQuoted(words.join(QLatin1Char('\n')));
}

}  // namespace cli::completion
