// "Read param" in its three steps: identify the reader and lay the window out for its model,
// read its parameters, and, for some models in protected mode, read its filters.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "device/configuration.h"
#include "device/model_table.h"
#include "device/protocol_lists.h"
#include "device/reader.h"
#include "device/settings_file.h"
#include "filters/filter_block.h"
#include "link/commands.h"
#include "link/probe.h"
#include "shell/qln_boot_pgm.h"

bool TForm1::getVersion(uint8_t* p_out) {
    return reader_->readData(comlink::cmd::kVersion, p_out,
                             {"no connection (VER)", "ERROR CS", "NO OK", "OK"}) ==
           comlink::Reply::Accepted;
}

void TForm1::PrintError() {
    lbDevice->setText(QStringLiteral("Device: not detected"));
    Device = device::kNoModel;
}

void TForm1::btVersionClick() {
    readComplete_ = false;
    Fguard = false;
    hideFilterBoxes();
    cbPulseOnlyTm->hide();
    cbBcc7Uid->setChecked(false);
    cbBcc7Uid->hide();
    bRdFilter = false;
    if (!requirePort()) return;

    // The reader layer runs the whole exchange (and backs up what it read: the disk takes it
    // while the user looks at what was read, and a failure is said when it is known); the
    // window then shows it step by step, stopping where the read stopped.
    device::ReadOptions options;
    options.before = config_.shown;
    options.backups = &backups_;
    options.port = cbCom->currentText();
    options.adapterSerial = comlink::adapterSerialNumber(openDevice_);
    options.backedUp = [this](const QString&, const QString& error) {
        if (error.isEmpty()) return;
        QMetaObject::invokeMethod(
            this,
            [this, error] {
                InfoInfo(QStringLiteral("The settings read were not backed up: ") + error);
            },
            Qt::QueuedConnection);
    };
    const device::Configuration c = device::readConfiguration(*reader_, options);
    showRead(c);
    keepConfiguration(c);
}

void TForm1::showRead(const device::Configuration& c) {
    // 1. Who the reader is; the window takes its model's layout.
    if (!showIdentity(c)) {
        // A reader left in its boot loader answers as one: say how to bring it back.
        if (c.bootLoader)
            InfoInfo(c.bootLoader->newType
                         ? QStringLiteral("The reader waits in its boot loader: program it with "
                                          "Open File and PGM, \"PROG pgm\" ticked")
                         : QStringLiteral("The reader waits in its boot loader: program it with "
                                          "Open File and PGM (tick \"PROG pgm\" for a new-type "
                                          "loader)"));
        return;
    }
    const device::ModelRow& m = device::model(Device);
    if (m.layout == device::Layout::FilterCodes) return;

    // 2. Its parameter block.
    if (!c.paramsRead()) return;
    std::copy(c.params->block.begin(), c.params->block.end(), param_1);
    showMode(c);
    showSettings(c);

    // 3. Its filters, when it is in protected mode and its model reads them.
    if (c.filters) {
        showFilterBlock(*c.filters);
        if (!bRdFilter) return;
    }
    readComplete_ = true;
}

void TForm1::keepConfiguration(device::Configuration c) {
    const bool shortBlock = c.row().layout == device::Layout::ShortBlock;
    if (!c.paramsRead() || shortBlock) {
        // The controls the read did not set keep what they held; the layout's own changes have
        // reached the window's configuration through the controls.
        for (const device::SettingRow& r : device::kSettings)
            if (!c.paramsRead() || !r.carriedBy(c.row()))
                r.set(c.settings, r.value(config_.settings));
        c.withoutParity = config_.withoutParity;
    }
    c.filterChoice = config_.filterChoice;
    if (readComplete_ && c.paramsRead()) lastRead_ = c.record();
    config_ = std::move(c);
}

bool TForm1::showIdentity(const device::Configuration& c) {
    const device::Identity& who = c.who;
    if (who.reply != comlink::Reply::Accepted) {
        PrintError();
        return false;
    }
    std::copy(who.version.begin(), who.version.end(), version);
    version32 = who.version32();
    FCONNECT = true;

    const std::optional<device::ModelRow>& row = who.row;
    if (!row) {
        PrintError();
        return false;
    }
    lbDevice->setText(QString::fromLatin1(row->caption));
    Device = row->device;
    if (row->progPgm != device::ProgPgm::Unchanged)
        cbProgPgm->setChecked(row->progPgm == device::ProgPgm::Checked);
    if (!row->named) FCONNECT = false;

    showLayout(c);
    return true;
}

device::ShownControls TForm1::shownControls() const {
    device::ShownControls c;
    c.protocolList = !cbTypeProt->isHidden();
    c.protocolCount = cbTypeProt->count();
    c.protocol2Entries = cbTypeProt2->count();
    c.secondSerial =
        cbTypeProt2->count() > device::kSecondProtocolSerial &&
        cbTypeProt2->itemText(device::kSecondProtocolSerial) ==
            QLatin1String(device::kSecondProtocolEntriesModel6[device::kSecondProtocolSerial]);
    c.openTime = !edTimeOpen->isHidden();
    const auto boxes = optionBoxes();
    for (std::size_t i = 0; i < boxes.size(); ++i) c.options[i] = !boxes[i]->isHidden();
    return c;
}

// The sheets as the configuration shows them: which controls are there and the entries of the
// lists, each from the controls the reader layer says this reader shows. Beside them the labels
// that go with their controls, and what a model's layout clears: the lock boxes of a reader
// configured by filter codes (whose filter boxes start from the defaults), the parity box where
// the firmware offers it.
void TForm1::showLayout(const device::Configuration& c) {
    const device::ModelRow& m = c.row();
    const device::ShownControls& o = c.shown;
    const bool filterCodes = m.layout == device::Layout::FilterCodes;
    if (m.layout == device::Layout::Classic &&
        device::firmwareRules(m.protocolRule, version[0], version[1]).parityBox)
        cbWgParityNo->setChecked(false);
    if (filterCodes) {
        cbLock->setChecked(false);
        cbPolLock->setChecked(false);
    }
    cbTypeProt->setVisible(o.protocolList);
    lbTypeProt->setVisible(o.protocolList);
    if (!filterCodes) {
        nWiegand = static_cast<uint8_t>(o.protocolCount);
        setTypeProt(nWiegand, false);
    }
    cbTypeProt2->clear();
    if (o.protocol2Entries > 0)
        for (const char* entry :
             o.secondSerial ? device::kSecondProtocolEntriesModel6 : device::kSecondProtocolEntries)
            cbTypeProt2->addItem(QString::fromLatin1(entry));
    const auto boxes = optionBoxes();
    for (std::size_t i = 0; i < boxes.size(); ++i) boxes[i]->setVisible(o.options[i]);
    edTimeOpen->setVisible(o.openTime);
    lbTimeOpen->setVisible(o.openTime);
    btSetFilter->setVisible(m.layout != device::Layout::ShortBlock);
    cbAvtoSetFilter->setVisible(m.layout != device::Layout::ShortBlock);
    if (filterCodes) lbLockInGuard->hide();
    if (m.layout == device::Layout::LongForm && m.keyManagement) lbLockInGuard->show();
    if (filterCodes) {
        FilterDefault();
        const auto filterBoxes = this->filterBoxes();
        for (int i = 0; i < filters::kBoxCount; ++i)
            if (c.filtersShown[i]) filterBoxes[i]->show();
        lbLocalFilter->show();
    }
}
