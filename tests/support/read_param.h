#pragma once

// A window with an emulated reader on COM3, picked as a user would, for the tests that start
// from "Read param".

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include "shell/qln_boot_pgm.h"
#include "tests/support/harness.h"

namespace th {

class ReaderOnCom3 : public ::testing::Test {
public:
    void SetUp() override { ASSERT_TRUE(pickPort(form, QStringLiteral("COM3"))); }

    // The reader answers with firmware v2.v1.v0 and this model code.
    void setVersion(uint8_t v0, uint8_t v1, uint8_t v2, uint8_t model) {
        com3.reader.withModel([&](emu::ReaderModel& m) { m.state.version = {v0, v1, v2, model}; });
    }
    void setParams(std::array<uint8_t, 9> p) {
        com3.reader.withModel([&](emu::ReaderModel& m) { m.state.params = p; });
    }
    void setFilters(std::array<uint8_t, 32> f) {
        com3.reader.withModel([&](emu::ReaderModel& m) { m.state.filters = f; });
    }
    void setMasterMode(bool on) {
        com3.reader.withModel([&](emu::ReaderModel& m) { m.state.masterMode = on; });
    }

    // Presses the button as a user would, waits until the reader has sent all it had to, and
    // returns the log lines the press wrote; what the reader received is from this press only.
    QStringList press(QAbstractButton* button) {
        const int before = static_cast<int>(logLines(form).size());
        com3.reader.clearReceived();
        button->click();
        com3.reader.waitUntilQuiet();
        return logLines(form).mid(before);
    }
    QStringList readParam() { return press(form.btVersion); }

    // The requests the reader received since the last press, by command code.
    std::vector<uint8_t> commands() const {
        std::vector<uint8_t> codes;
        for (const Bytes& f : com3.reader.requests()) codes.push_back(f[3]);
        return codes;
    }

    static bool shown(const QWidget* w) { return !w->isHidden(); }

    LinkedReader com3{3};
    ModalCatcher catcher;
    TForm1 form;
};

}  // namespace th
