// "Save settings..." and "Load settings...": the window's settings as a settings file, and back.

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QVBoxLayout>

#include "device/configuration.h"
#include "device/model_table.h"
#include "device/param_block.h"
#include "device/protocol_lists.h"
#include "device/settings_file.h"
#include "filters/filter_block.h"
#include "shell/load_dialog.h"
#include "shell/qln_boot_pgm.h"

namespace {

// A settings file to save or to open, in the window's file dialog.
QString chooseSettingsFile(TForm1& form, const QString& caption, bool save) {
    return form.chooseFile(caption, save, QStringLiteral("Settings files (*.json)"),
                           QStringLiteral("json"));
}

// What the status panel adds where list values beyond the configurator's lists were loaded.
QString beyondLists(const device::Fit& fit) {
    if (fit.beyondList.isEmpty()) return {};
    return QStringLiteral(" (beyond the lists, as this model and firmware keep them: %1)")
        .arg(fit.beyondList.join(QStringLiteral(", ")));
}

}  // namespace

void TForm1::saveSettingsAs() {
    if (!readComplete_) {
        saveSettings({});  // says why not
        return;
    }
    const QString path = chooseSettingsFile(*this, QStringLiteral("Save settings"), true);
    if (!path.isEmpty()) saveSettings(path);
}

void TForm1::loadSettingsFrom() {
    if (!readComplete_) {
        loadSettings({});  // says why not
        return;
    }
    const QString path = chooseSettingsFile(*this, QStringLiteral("Load settings"), false);
    if (!path.isEmpty()) reviewSettings(path);
}

bool TForm1::saveSettings(const QString& path) {
    if (!readComplete_) {
        InfoInfo(QStringLiteral("Save settings: press Read param first"));
        return false;
    }
    // The file holds what the reader holds once "Write param" has sent the window's choices.
    if (config_.row().fullBits && !device::openTimeUnits(edTimeOpen->text())) {
        InfoInfo(QStringLiteral("The settings were not saved: '%1' is not a valid integer value")
                     .arg(edTimeOpen->text()));
        return false;
    }
    QString error;
    if (!device::writeSettingsFile(path, config_.record(), &error)) {
        InfoInfo(QStringLiteral("The settings were not saved: ") + error);
        return false;
    }
    InfoInfo(QStringLiteral("Settings saved to %1").arg(path));
    return true;
}

bool TForm1::loadSettings(const QString& path) {
    const std::optional<device::SettingsRecord> f = settingsToLoad(path);
    if (!f) return false;
    // The file is judged as torvik-cli's restore judges it: what the reader can take.
    const device::Fit fit = device::fit(config_, *f);
    if (fit.modelRefused) {
        InfoInfo(QStringLiteral("Not loaded: %1 holds the settings of model %2, the reader is "
                                "model %3")
                     .arg(path)
                     .arg(f->modelCode)
                     .arg(version[3]));
        return false;
    }
    if (!fit.refused.isEmpty()) {
        InfoInfo(QStringLiteral("Not loaded: this reader cannot take ") +
                 fit.refused.join(QStringLiteral(", ")));
        return false;
    }

    putIntoControls(fit);
    QString loaded = QStringLiteral("Settings loaded from %1: Write param writes them").arg(path);
    if (!fit.record.isEmpty())
        loaded += QStringLiteral(" (kept in the file only, this reader's write does not carry: %1)")
                      .arg(fit.record.join(QStringLiteral(", ")));
    InfoInfo(loaded + beyondLists(fit));
    return true;
}

std::optional<device::SettingsRecord> TForm1::settingsToLoad(const QString& path) {
    if (!readComplete_) {
        InfoInfo(
            QStringLiteral("Load settings: press Read param first, so that the reader is "
                           "known"));
        return std::nullopt;
    }
    QString error;
    std::optional<device::SettingsRecord> f = device::readSettingsFile(path, &error);
    if (!f) InfoInfo(QStringLiteral("Not loaded: ") + error);
    return f;
}

void TForm1::putIntoControls(const device::Fit& fit) {
    device::Configuration fromFile = config_;
    fromFile.settings = fit.settings;
    cbBcc7Uid->setChecked(false);
    showSettings(fromFile);
    config_.settings = fit.settings;
    if (fit.filters) {
        // The boxes as "Read param" shows a block that holds these filters.
        FilterDefault();
        showFilterChoice(*fit.filters);
    }
}

bool TForm1::reviewSettings(const QString& path) {
    const std::optional<device::SettingsRecord> f = settingsToLoad(path);
    if (!f) return false;
    LoadSettingsDialog dialog(config_, *f, path, this);
    if (dialog.exec() != QDialog::Accepted || !dialog.apply) return false;
    const device::Fit fit = dialog.ticked();
    putIntoControls(fit);
    QString loaded = QStringLiteral(
                         "Settings loaded from %1 (%2 of %3 ticked): Write param writes "
                         "them")
                         .arg(path)
                         .arg(dialog.tickedCount())
                         .arg(dialog.rowCount());
    InfoInfo(loaded + beyondLists(fit));
    return true;
}

void TForm1::compareWithFileFrom() {
    if (!readComplete_) {
        compareWithFile({});  // says why not
        return;
    }
    const QString path = chooseSettingsFile(*this, QStringLiteral("Compare with file"), false);
    if (!path.isEmpty()) compareWithFile(path);
}

std::optional<device::Comparison> TForm1::compareWithFile(const QString& path) {
    if (!readComplete_) {
        InfoInfo(QStringLiteral("Compare with file: press Read param first"));
        return std::nullopt;
    }
    QString error;
    const std::optional<device::SettingsRecord> f = device::readSettingsFile(path, &error);
    if (!f) {
        InfoInfo(QStringLiteral("Not compared: ") + error);
        return std::nullopt;
    }
    const device::SettingsRecord mine = config_.record();
    const device::Comparison c = device::compare(mine, *f);

    // A table of what differs: the setting, this reader's value, the file's.
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("Compare with file"));
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(
        new QLabel(QStringLiteral("This reader: %1\nThe file: %2, %3")
                       .arg(device::describeRecord(mine), path, device::describeRecord(*f)),
                   &dialog));
    if (c.same()) {
        layout->addWidget(new QLabel(QStringLiteral("No differences"), &dialog));
    } else {
        auto* table = new QTableWidget(0, 3, &dialog);
        table->setObjectName(QStringLiteral("differences"));
        table->setHorizontalHeaderLabels(
            {QStringLiteral("Setting"), QStringLiteral("This reader"), QStringLiteral("The file")});
        table->setEditTriggers(QAbstractItemView::NoEditTriggers);
        auto add = [&](const QString& setting, const QString& a, const QString& b) {
            const int row = table->rowCount();
            table->insertRow(row);
            int col = 0;
            for (const QString& text : {setting, a, b})
                table->setItem(row, col++, new QTableWidgetItem(text));
        };
        if (c.modelsDiffer)
            add(QStringLiteral("Model"), QString::number(mine.modelCode),
                QString::number(f->modelCode));
        for (const device::SettingDifference& d : c.settings)
            add(QStringLiteral("%1: %2 (%3)").arg(d.group, d.caption, d.name), d.a, d.b);
        for (const device::NotCarried& n : c.notCarried)
            add(QStringLiteral("%1 (%2)").arg(n.caption, n.name),
                n.side == 'a' ? QStringLiteral("not carried by this model") : QString(),
                n.side == 'b' ? QStringLiteral("not carried by its model") : QString());
        for (const device::RawDifference& r : c.raw) add(r.what, r.a, r.b);
        table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
        table->setMinimumWidth(560);
        layout->addWidget(table);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    layout->addWidget(buttons);
    dialog.exec();
    return c;
}
