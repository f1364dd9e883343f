#pragma once

#include <QDialog>

#include "device/configuration.h"
#include "device/settings_file.h"

class QLabel;
class QPushButton;
class QTableWidget;

// "Load settings...": what a settings file would change on the reader the window read, before
// anything changes. A row a setting that differs (the setting, this reader's value, the file's),
// ticked; the settings the reader cannot take unticked and greyed, with the reason; the settings
// the reader's write does not carry listed apart, as the file's record; a line above them where
// the file is of another model or from another reader. "Apply ticked" takes the ticked ones.
class LoadSettingsDialog : public QDialog {
public:
    LoadSettingsDialog(const device::Configuration& reader, const device::SettingsRecord& file,
                       const QString& path, QWidget* parent);

    // The file's fit onto the reader with only the ticked settings taken.
    device::Fit ticked() const;
    int tickedCount() const;
    int rowCount() const;  // the settings that differ and are not only a record

    QTableWidget* changes = nullptr;  // objectName "changes"; none where nothing differs
    QTableWidget* record = nullptr;   // objectName "record"; none where no such setting differs
    QLabel* warnings = nullptr;       // objectName "warnings"; none where there is nothing to say
    QLabel* note = nullptr;           // why "Apply ticked" is not enabled
    QPushButton* apply = nullptr;     // "Apply ticked"; none where nothing differs

private:
    QStringList tickedNames() const;  // the control names of the rows ticked
    void ticksChanged();
    const device::Configuration& reader_;
    const device::SettingsRecord& file_;
    device::Fit all_;                          // every setting taken
    std::vector<const device::FitRow*> rows_;  // the changes table's, in its order
};
