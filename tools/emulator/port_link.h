#pragma once

#include <QString>
#include <string>

#include "tools/emulator/pty_reader.h"

// How an emulated reader becomes a COM port: a link named COMn in the configurator's link
// folder that points at the pseudo-terminal. The tests, the benchmark and the simulator all
// link their readers this way.
namespace emu {

// Where the link of name (COMn) lives.
QString portLinkPath(const QString& name);

enum class LinkMode {
    Replace,    // whatever stands under the name goes
    Exclusive,  // fails when the name is taken, so two readers never share one
};

// Links name to the pty; false when the link could not be made.
bool linkPty(const std::string& pty, const QString& name, LinkMode mode);

// Removes the link of name, but only while it still points at pty; true when it did.
bool unlinkPty(const std::string& pty, const QString& name);

// A reader emulator that the configurator reaches as COMn for as long as it lives.
class LinkedReader {
public:
    explicit LinkedReader(int com);
    ~LinkedReader();
    LinkedReader(const LinkedReader&) = delete;
    LinkedReader& operator=(const LinkedReader&) = delete;

    QString name() const { return name_; }
    QString linkPath() const { return portLinkPath(name_); }
    // The name goes, whatever it points at now, as when the adapter is unplugged; the reader
    // stays.
    void unlink();
    PtyReader reader;

private:
    QString name_;
};

}  // namespace emu
