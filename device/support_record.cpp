#include "device/support_record.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSysInfo>

#include "link/port_names.h"
#include "link/trace.h"

namespace device {

namespace {

// The folders whose paths say nothing of the user: the program's data (its backups and port
// links), its installed files, and the devices.
QStringList ownFolders() {
    QStringList own{QFileInfo(backupFolder()).absolutePath(),
                    QFileInfo(comlink::portLinkFolder()).absolutePath(),
                    comlink::deviceRoot(),
                    QStringLiteral("/dev"),
                    QStringLiteral("/sys"),
                    QStringLiteral("/usr/share/torvik-config")};
    own.removeAll(QString());
    own.removeDuplicates();
    return own;
}

bool under(const QString& path, const QString& folder) {
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// A user's or machine's name where it stands as a word of its own.
QString withoutWord(QString text, const QString& word, const QString& instead) {
    if (word.size() < 2) return text;
    const QRegularExpression re(
        QStringLiteral("(?<![\\w.-])%1(?![\\w-])").arg(QRegularExpression::escape(word)));
    return text.replace(re, instead);
}

void section(QString& out, const QString& title) {
    out += QStringLiteral("\n== %1\n").arg(title);
}

}  // namespace

QString scrubbed(const QString& text) {
    const QStringList own = ownFolders();
    const QString home = QDir::homePath();
    // An absolute path: at the start of the text or after a space, a quote, a bracket, '=' or
    // ':', up to the next space or quote. "Wiegand 34/58" is none: its '/' follows a digit; nor
    // is a network port's URL (rfc2217://HOST:PORT, socket://HOST:PORT).
    static const QRegularExpression path(
        QStringLiteral("(?<=^|[\\s\"'(=:,])(?<![Rr][Ff][Cc]2217:)(?<![Ss][Oo][Cc][Kk][Ee][Tt]:)(/"
                       "[^\\s\"',)]+|[A-Za-z]:\\\\[^\\s\"',)]+)"),
        QRegularExpression::MultilineOption);
    QString out;
    qsizetype from = 0;
    for (auto it = path.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        out += text.mid(from, m.capturedStart() - from);
        const QString p = m.captured();
        bool kept = false;
        for (const QString& folder : own) kept = kept || under(p, folder);
        if (kept)
            out += home.size() > 1 && under(p, home) ? QStringLiteral("~") + p.mid(home.size()) : p;
        else
            out += QStringLiteral(".../") +
                   p.section(QRegularExpression(QStringLiteral("[/\\\\]")), -1, -1);
        from = m.capturedEnd();
    }
    out += text.mid(from);
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty()) user = qEnvironmentVariable("LOGNAME");
    if (user.isEmpty()) user = qEnvironmentVariable("USERNAME");
    out = withoutWord(out, user, QStringLiteral("<user>"));
    out = withoutWord(out, QSysInfo::machineHostName(), QStringLiteral("<host>"));
    return out;
}

QString supportRecordText(const SupportFacts& f) {
    QString out = QStringLiteral("Support record of %1\n").arg(f.program);
    out += QStringLiteral("Written %1\n").arg(isoTimeWithOffset(QDateTime::currentDateTime()));
    out += QStringLiteral("Qt %1 (built with %2)\n")
               .arg(QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR));
    out += QStringLiteral("System: %1; kernel %2 %3; %4\n")
               .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(),
                    QSysInfo::kernelVersion(), QSysInfo::currentCpuArchitecture());

    section(out, QStringLiteral("Ports"));
    for (const QString& p : f.portsInUse)
        out += QStringLiteral("%1\t%2\tin use by this program\n")
                   .arg(p, comlink::realDevicePath(comlink::portPath(p)));
    for (const comlink::ProbedPort& p : f.ports.ports)
        out += QStringLiteral("%1\t%2\n")
                   .arg(p.name, p.toolTip.split(QLatin1Char('\n')).join(QStringLiteral(", ")));
    if (f.portsInUse.isEmpty() && f.ports.ports.empty()) out += QStringLiteral("none listed\n");
    const QString leftOut = comlink::leftOutHint(f.ports.leftOut, !f.ports.ports.empty());
    if (!leftOut.isEmpty()) out += leftOut + QLatin1Char('\n');

    section(out, QStringLiteral("Settings last read"));
    if (f.settings.empty()) out += QStringLiteral("none: no \"Read param\" read a reader\n");
    for (const auto& [port, record] : f.settings) {
        if (f.settings.size() > 1) out += QStringLiteral("%1:\n").arg(port);
        out += QString::fromUtf8(QJsonDocument(settingsJson(record)).toJson());
    }

    section(out, f.logTitle);
    out += f.log;
    if (!f.log.isEmpty() && !f.log.endsWith(QLatin1Char('\n'))) out += QLatin1Char('\n');

    section(out, QStringLiteral("Wire trace (the newest %1 KiB kept in memory)")
                     .arg(comlink::kTraceRingBytes / 1024));
    out += f.trace.isEmpty() ? QStringLiteral("nothing went on the line\n")
                             : QString::fromUtf8(f.trace);
    return scrubbed(out);
}

}  // namespace device
