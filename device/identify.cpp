// "Read param" in its three steps: identify the reader and lay the window out for its model,
// read its parameters, and, for some models in protected mode, read its filters.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "device/model_table.h"
#include "device/protocol_lists.h"
#include "device/reader.h"
#include "device/settings_file.h"
#include "link/commands.h"
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
    lastRead_.reset();
    Fguard = false;
    hideFilterBoxes();
    cbPulseOnlyTm->hide();
    cbBcc7Uid->setChecked(false);
    cbBcc7Uid->hide();
    bRdFilter = false;
    if (!requirePort()) return;

    // 1. Who the reader is; the window takes its model's layout.
    if (!identifyReader()) {
        // A reader left in its boot loader answers as one: say how to bring it back.
        if (const auto boot = reader_->bootLoaderAnswer())
            InfoInfo(boot->newType
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
    const device::ParamRead params = reader_->readParams(identity_);
    if (params.reply != comlink::Reply::Accepted) return;
    std::optional<device::FilterRead> filters;
    std::copy(params.block.begin(), params.block.end(), param_1);
    if (m.layout == device::Layout::ShortBlock)
        decodeParamsShort();
    else
        decodeParams();

    // 3. Its filters, when it is in protected mode and its model reads them.
    if (m.readsFilters && Fguard) {
        filters = readFilterBlock();
        if (filters->reply != comlink::Reply::Accepted) return;
    }

    // What was read is kept, for the "I wish I had kept the old settings" case. The disk takes
    // it while the user looks at what was read; a failure is said when it is known.
    lastRead_ = device::recordOf(identity_, params, filters ? &*filters : nullptr);
    backups_.add(cbCom->currentText(), *lastRead_, [this](const QString&, const QString& error) {
        if (error.isEmpty()) return;
        QMetaObject::invokeMethod(
            this,
            [this, error] {
                InfoInfo(QStringLiteral("The settings read were not backed up: ") + error);
            },
            Qt::QueuedConnection);
    });
}

bool TForm1::identifyReader() {
    identity_ = reader_->identify();
    if (identity_.reply != comlink::Reply::Accepted) {
        PrintError();
        return false;
    }
    std::copy(identity_.version.begin(), identity_.version.end(), version);
    version32 = identity_.version32();
    FCONNECT = true;

    const std::optional<device::ModelRow>& row = identity_.row;
    if (!row) {
        PrintError();
        return false;
    }
    lbDevice->setText(QString::fromLatin1(row->caption));
    Device = row->device;
    if (row->progPgm != device::ProgPgm::Unchanged)
        cbProgPgm->setChecked(row->progPgm == device::ProgPgm::Checked);
    if (!row->named) FCONNECT = false;

    cbTypeProt2->clear();
    for (const char* entry : device::kSecondProtocolEntries)
        cbTypeProt2->addItem(QString::fromLatin1(entry));
    cbRs485_232->hide();

    layoutTabs();
    return true;
}

void TForm1::layoutTabs() {
    const device::ModelRow& m = device::model(Device);
    if (m.layout == device::Layout::ShortBlock) {
        cbHidAnalisis->show();
        btSetFilter->hide();
        cbAvtoSetFilter->hide();
        nWiegand = 5;
        setTypeProt(nWiegand, false);
        cbTypeProt2->clear();
        if (m.secondList == device::SecondList::Serial) {
            for (const char* entry : device::kSecondProtocolEntriesModel6)
                cbTypeProt2->addItem(QString::fromLatin1(entry));
            cbRs485_232->show();
        }
        return;
    }
    btSetFilter->show();
    cbAvtoSetFilter->show();
    if (m.layout == device::Layout::FilterCodes) {
        cbTypeProt->hide();
        lbTypeProt->hide();
        cbHidAnalisis->hide();
        cbRestrictTm->hide();
        cbLock->hide();
        cbLock->setChecked(false);
        cbPolLock->hide();
        cbPolLock->setChecked(false);
        lbLockInGuard->hide();
        // These readers are configured by filter codes: the boxes start from the defaults and
        // only six of them are offered.
        FilterDefault();
        for (QWidget* w : std::initializer_list<QWidget*>{cbOTP1, cbVantis, cbOTP2, cbMPlus,
                                                          cbAllowAllLocalFilterWork,
                                                          cbLocalFilterEn, lbLocalFilter})
            w->show();
        edTimeOpen->hide();
        lbTimeOpen->hide();
        return;
    }
    if (m.layout == device::Layout::LongForm) {
        cbTypeProt->show();
        lbTypeProt->show();
        cbRestrictTm->show();
        edTimeOpen->show();
        lbTimeOpen->show();
        cbHidAnalisis->hide();
        nWiegand = 6;
        setTypeProt(nWiegand, false);
        cobTypeCode->show();
        cbReverseCode->show();
        if (m.keyManagement) lbLockInGuard->show();
        cbLock->show();
        cbPolLock->show();
        return;
    }
    // The classic layout, also of a reader without a model.
    cbTypeProt->show();
    lbTypeProt->show();
    cbRestrictTm->show();
    cbReverseCode->show();
    edTimeOpen->hide();
    lbTimeOpen->hide();
    const device::FirmwareRules rules =
        device::firmwareRules(m.protocolRule, version[0], version[1]);
    if (rules.parityBox) {
        cbWgParityNo->show();
        cbWgParityNo->setChecked(false);
    }
    if (rules.convertBox) cbBcc7Uid->show();
    if (rules.pulseBox) cbPulseOnlyTm->show();
    cbHidAnalisis->hide();
    nWiegand = rules.protocolEntries;
    setTypeProt(nWiegand, false);
}
