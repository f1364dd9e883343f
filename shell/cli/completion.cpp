// Shell completion for torvik-cli: the scripts for bash, zsh and fish, made from the command
// table and the lists of the reader layer, so that they offer exactly what the program takes.
// The COM names come from torvik-cli --complete-ports, which looks for the devices and opens none.

#include <QSet>

#include "link/port_names.h"
#include "shell/cli/commands.h"
#include "shell/cli/completion_words.h"

namespace cli {

namespace {

using namespace completion;

QString bashScript() {
    QString s =
        QStringLiteral(
            "# bash completion for torvik-cli, made from its command table by\n"
            "# torvik-cli --completion bash. It opens no port: the COM names come from\n"
            "# torvik-cli --complete-ports, which only looks for their devices.\n"
            "\n"
            "# The words of $2 (one a line) that start with $1.\n"
            "_torvik_cli_reply() {\n"
            "    local w\n"
            "    COMPREPLY=()\n"
            "    while IFS= read -r w; do\n"
            "        [[ -n $w && $w == \"$1\"* ]] && COMPREPLY+=(\"$w\")\n"
            "    done <<<\"$2\"\n"
            "}\n"
            "\n"
            "# Folders, and files ending in .$2.\n"
            "_torvik_cli_files() {\n"
            "    compopt -o filenames 2>/dev/null\n"
            "    local IFS=$'\\n'\n"
            "    COMPREPLY+=($(compgen -d -- \"$1\") $(compgen -f -X \"!*.$2\" -- \"$1\"))\n"
            "}\n"
            "\n"
            "_torvik_cli() {\n"
            "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
            "    local valued=' %1 '\n"
            "    # The command and the operands before the word completed. bash splits a word at\n"
            "    # '=': --set cbLock=1 comes as --set, cbLock, =, 1.\n"
            "    local i w cmd='' operands=0\n"
            "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
            "        w=${COMP_WORDS[i]}\n"
            "        if [[ $valued == *\" $w \"* || $w == = ]]; then ((i++)); continue; fi\n"
            "        [[ $w == -* ]] && continue\n"
            "        if [[ -z $cmd ]]; then cmd=$w; else ((operands++)); fi\n"
            "    done\n"
            "    # The state after KEY= of --set.\n"
            "    if [[ $cur == = || $prev == = ]]; then\n"
            "        i=$((COMP_CWORD - 2))\n"
            "        [[ $cur == = ]] && i=$((COMP_CWORD - 1)) && cur=''\n"
            "        if [[ ${COMP_WORDS[i-1]} == --set ]]; then\n"
            "            _torvik_cli_reply \"$cur\" $'0\\n1'\n"
            "            return\n"
            "        fi\n"
            "    fi\n"
            "    cur=${cur#[\\\"\\']}\n"
            "    case $prev in\n"
            "    --port)\n"
            "        _torvik_cli_reply \"$cur\" \"$(command torvik-cli --complete-ports "
            "2>/dev/null)\"\n"
            "        return ;;\n"
            "    --trace | --units | --support-record)\n"
            "        compopt -o filenames 2>/dev/null\n"
            "        local IFS=$'\\n'\n"
            "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
            "        return ;;\n"
            "    --completion)\n"
            "        _torvik_cli_reply \"$cur\" %2\n"
            "        return ;;\n"
            "    --jobs)\n"
            "        return ;;\n")
            .arg(valuedOptions().join(QLatin1Char(' ')), lines(kShells));
    for (const OptionRow& o : options()) {
        if (!o.value) continue;
        const QString name = QLatin1String(o.name);
        s += QStringLiteral("    --%1)\n").arg(name);
        if (o.values == Values::BoxNames) {
            s += QStringLiteral(
                     "        compopt -o nospace 2>/dev/null\n"
                     "        local names=%1\n")
                     .arg(lines(withEquals(controlNames(SetBoxes::None))));
            s += perCommandNames([](const QString& command, const QStringList& names) {
                return QStringLiteral("        [[ $cmd == %1 ]] && names=%2\n")
                    .arg(command, lines(withEquals(names)));
            });
            s += QStringLiteral("        _torvik_cli_reply \"$cur\" \"$names\"\n");
        } else if (!entriesOf(o).isEmpty()) {
            // The entries hold spaces: bash quotes them as it quotes file names.
            s += QStringLiteral(
                     "        compopt -o filenames 2>/dev/null\n"
                     "        _torvik_cli_reply \"$cur\" %1\n")
                     .arg(lines(entriesOf(o)));
        }
        s += QStringLiteral("        return ;;\n");
    }
    s += QStringLiteral(
             "    esac\n"
             "    if [[ $cur == -* ]]; then\n"
             "        local opts=%1\n"
             "        case $cmd in\n")
             .arg(lines(globalOptions()));
    for (const CommandRow& c : commands())
        if (!c.options.empty())
            s += QStringLiteral("        %1) opts+=$'\\n'%2 ;;\n")
                     .arg(QLatin1String(c.name), lines(commandOptions(c)));
    s += QStringLiteral(
             "        esac\n"
             "        _torvik_cli_reply \"$cur\" \"$opts\"\n"
             "        return\n"
             "    fi\n"
             "    if [[ -z $cmd ]]; then\n"
             "        _torvik_cli_reply \"$cur\" %1\n"
             "        return\n"
             "    fi\n"
             "    COMPREPLY=()\n"
             "    case $cmd in\n")
             .arg(lines(commandNames()));
    for (const FileOperands& f : fileOperands())
        s += QStringLiteral(
                 "    %1)\n        ((operands < %2)) || return\n%3"
                 "        _torvik_cli_files \"$cur\" %4 ;;\n")
                 .arg(f.command)
                 .arg(f.count)
                 .arg(f.ports ? QStringLiteral("        _torvik_cli_reply \"$cur\" \"$(command "
                                               "torvik-cli --complete-ports 2>/dev/null)\"\n")
                              : QString())
                 .arg(f.suffix);
    s += QStringLiteral(
        "    esac\n"
        "}\n"
        "\n"
        "complete -F _torvik_cli torvik-cli\n");
    return s;
}

QString zshScript() {
    QString s = QStringLiteral(
                    "#compdef torvik-cli\n"
                    "# zsh completion for torvik-cli, made from its command table by\n"
                    "# torvik-cli --completion zsh. It opens no port: the COM names come from\n"
                    "# torvik-cli --complete-ports, which only looks for their devices.\n"
                    "\n"
                    "_torvik-cli() {\n"
                    "    local -a valued=(%1)\n"
                    "    local prev=${words[CURRENT-1]} cmd= i\n"
                    "    integer operands=0\n"
                    "    for ((i = 2; i < CURRENT; i++)); do\n"
                    "        if ((${valued[(Ie)${words[i]}]})); then ((i++)); continue; fi\n"
                    "        [[ ${words[i]} == -* ]] && continue\n"
                    "        if [[ -z $cmd ]]; then cmd=${words[i]}; else ((operands++)); fi\n"
                    "    done\n"
                    "    case $prev in\n"
                    "    --port)\n"
                    "        compadd -- ${(f)\"$(command torvik-cli --complete-ports "
                    "2>/dev/null)\"}\n"
                    "        return ;;\n"
                    "    --trace | --units | --support-record) _files; return ;;\n"
                    "    --completion) compadd -- %2; return ;;\n"
                    "    --jobs) return ;;\n")
                    .arg(quotedWords(valuedOptions()), quotedWords(kShells));
    for (const OptionRow& o : options()) {
        if (!o.value) continue;
        const QString name = QLatin1String(o.name);
        s += QStringLiteral("    --%1)\n").arg(name);
        if (o.values == Values::BoxNames) {
            s += QStringLiteral(
                     "        if compset -P '*='; then\n"
                     "            compadd -- 0 1\n"
                     "        else\n"
                     "            local -a names=(%1)\n")
                     .arg(quotedWords(controlNames(SetBoxes::None)));
            s += perCommandNames([](const QString& command, const QStringList& names) {
                return QStringLiteral("            [[ $cmd == %1 ]] && names=(%2)\n")
                    .arg(command, quotedWords(names));
            });
            s += QStringLiteral(
                "            compadd -S '=' -- $names\n"
                "        fi\n");
        } else if (!entriesOf(o).isEmpty()) {
            s += QStringLiteral("        compadd -- %1\n").arg(quotedWords(entriesOf(o)));
        }
        s += QStringLiteral("        return ;;\n");
    }
    s += QStringLiteral(
             "    esac\n"
             "    if [[ $PREFIX == -* ]]; then\n"
             "        local -a opts=(%1)\n"
             "        case $cmd in\n")
             .arg(quotedWords(globalOptions()));
    for (const CommandRow& c : commands())
        if (!c.options.empty())
            s += QStringLiteral("        %1) opts+=(%2) ;;\n")
                     .arg(QLatin1String(c.name), quotedWords(commandOptions(c)));
    s += QStringLiteral(
             "        esac\n"
             "        compadd -- $opts\n"
             "        return\n"
             "    fi\n"
             "    if [[ -z $cmd ]]; then\n"
             "        compadd -- %1\n"
             "        return\n"
             "    fi\n"
             "    case $cmd in\n")
             .arg(quotedWords(commandNames()));
    for (const FileOperands& f : fileOperands())
        s += QStringLiteral(
                 "    %1)\n        ((operands < %2)) || return 1\n%3"
                 "        _files -g '*.%4' ;;\n")
                 .arg(f.command)
                 .arg(f.count)
                 .arg(f.ports ? QStringLiteral("        compadd -- ${(f)\"$(command torvik-cli "
                                               "--complete-ports 2>/dev/null)\"}\n")
                              : QString())
                 .arg(f.suffix);
    s += QStringLiteral(
        "    esac\n"
        "}\n"
        "\n"
        "# Loaded from fpath, the file is the function; sourced, it registers it.\n"
        "if [[ $zsh_eval_context[-1] == loadautofunc ]]; then\n"
        "    _torvik-cli \"$@\"\n"
        "else\n"
        "    compdef _torvik-cli torvik-cli\n"
        "fi\n");
    return s;
}

// fish's lines for the options whose value is a file.
QString fileOptions() {
    QString s;
    for (const OptionRow& o : runOptions())
        if (o.values == Values::File)
            s += QStringLiteral("complete -c torvik-cli -l %1 -r -F\n").arg(QLatin1String(o.name));
    return s;
}

QString fishScript() {
    QString s = QStringLiteral(
                    "# fish completion for torvik-cli, made from its command table by\n"
                    "# torvik-cli --completion fish. It opens no port: the COM names come from\n"
                    "# torvik-cli --complete-ports, which only looks for their devices.\n"
                    "\n"
                    "# The command on the line, then its operands so far.\n"
                    "function __torvik_cli_words\n"
                    "    set -l valued %1\n"
                    "    set -l tokens (commandline -opc)\n"
                    "    set -e tokens[1]\n"
                    "    set -l skip 0\n"
                    "    for t in $tokens\n"
                    "        if test $skip = 1\n"
                    "            set skip 0\n"
                    "            continue\n"
                    "        end\n"
                    "        if contains -- $t $valued\n"
                    "            set skip 1\n"
                    "            continue\n"
                    "        end\n"
                    "        string match -q -- '-*' $t; and continue\n"
                    "        echo $t\n"
                    "    end\n"
                    "end\n"
                    "\n"
                    "function __torvik_cli_command\n"
                    "    set -l w (__torvik_cli_words)\n"
                    "    test (count $w) -ge 1; or return 1\n"
                    "    contains -- $w[1] $argv; or test (count $argv) -eq 0; or return 1\n"
                    "    echo $w[1]\n"
                    "end\n"
                    "\n"
                    "# True on the command's operand number $2 or before.\n"
                    "function __torvik_cli_operand\n"
                    "    set -l w (__torvik_cli_words)\n"
                    "    test (count $w) -ge 1; and test $w[1] = $argv[1]; "
                    "and test (count $w) -le $argv[2]\n"
                    "end\n"
                    "\n"
                    "# Folders, and the files ending in .$argv[1], under what is typed.\n"
                    "function __torvik_cli_files\n"
                    "    for f in (commandline -ct)*\n"
                    "        if test -d $f\n"
                    "            echo $f/\n"
                    "        else if string match -q -- \"*.$argv[1]\" $f\n"
                    "            echo $f\n"
                    "        end\n"
                    "    end\n"
                    "end\n"
                    "\n"
                    "# KEY=0 and KEY=1 for each box the command's --set takes.\n"
                    "function __torvik_cli_set\n"
                    "    set -l names %2\n"
                    "    switch (__torvik_cli_command)\n"
                    "%3"
                    "    end\n"
                    "    for n in $names\n"
                    "        printf '%s=0\\n%s=1\\n' $n $n\n"
                    "    end\n"
                    "end\n"
                    "\n"
                    "complete -c torvik-cli -f\n"
                    "complete -c torvik-cli -n 'not __torvik_cli_command' -a %4\n"
                    "complete -c torvik-cli -l port -x -a '(command torvik-cli --complete-ports "
                    "2>/dev/null)'\n"
                    "%6"
                    "complete -c torvik-cli -l completion -x -a %5\n"
                    "complete -c torvik-cli -l all\n"
                    "complete -c torvik-cli -l watch\n"
                    "complete -c torvik-cli -l jobs -x\n"
                    "complete -c torvik-cli -l retry-failed\n"
                    "complete -c torvik-cli -l json\n"
                    "complete -c torvik-cli -l help\n"
                    "complete -c torvik-cli -l version\n")
                    .arg(quotedWords(valuedOptions()), quotedWords(controlNames(SetBoxes::None)),
                         perCommandNames([](const QString& command, const QStringList& names) {
                             return QStringLiteral("        case %1\n            set names %2\n")
                                 .arg(command, quotedWords(names));
                         }),
                         shellQuoted(commandNames().join(QLatin1Char(' '))),
                         shellQuoted(kShells.join(QLatin1Char(' '))), fileOptions());
    for (const CommandRow& c : commands()) {
        const QString name = QLatin1String(c.name);
        for (const char* o : c.options) {
            const QString option = QLatin1String(o);
            if (option == "json") continue;  // taken by every command
            const OptionRow* spec = nullptr;
            for (const OptionRow& each : options())
                if (option == QLatin1String(each.name)) spec = &each;
            s += QStringLiteral("complete -c torvik-cli -n '__torvik_cli_command %1' -l %2")
                     .arg(name, option);
            if (spec && spec->values == Values::BoxNames)
                s += QStringLiteral(" -x -a '(__torvik_cli_set)'");
            else if (spec && !entriesOf(*spec).isEmpty())
                s += QStringLiteral(" -x -a %1")
                         .arg(shellQuoted(
                             QStringLiteral("(printf '%s\\n' %1)")
                                 .arg(quotedWords(entriesOf(*spec))
                                          .replace(QLatin1Char('\''), QLatin1Char('"')))));
            else if (spec && spec->value)
                s += QStringLiteral(" -x");
            s += QLatin1Char('\n');
        }
    }
    for (const FileOperands& f : fileOperands()) {
        const QString on = QStringLiteral("complete -c torvik-cli -n '__torvik_cli_operand %1 %2'")
                               .arg(f.command)
                               .arg(f.count);
        s += on + QStringLiteral(" -k -a '(__torvik_cli_files %1)'\n").arg(f.suffix);
        if (f.ports)
            s += on + QStringLiteral(" -a '(command torvik-cli --complete-ports 2>/dev/null)'\n");
    }
    return s;
}

}  // namespace

QStringList completionShells() {
    return kShells;
}

QString completionScript(const QString& shell) {
    if (shell == "bash") return bashScript();
    if (shell == "zsh") return zshScript();
    if (shell == "fish") return fishScript();
    return {};
}

}  // namespace cli
