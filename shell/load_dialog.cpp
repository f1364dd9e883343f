#include "shell/load_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "device/compare.h"

namespace {

using Take = device::FitRow::Take;

QString settingName(const device::FitRow& r) {
    return QStringLiteral("%1: %2 (%3)")
        .arg(device::fitGroup(r), QLatin1String(r.caption()), QLatin1String(r.name()));
}

QTableWidget* table(const QString& name, const QStringList& header, QWidget* parent) {
    auto* t = new QTableWidget(0, static_cast<int>(header.size()), parent);
    t->setObjectName(name);
    t->setHorizontalHeaderLabels(header);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->setSelectionMode(QAbstractItemView::NoSelection);
    t->verticalHeader()->hide();
    t->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    t->horizontalHeader()->setStretchLastSection(true);
    return t;
}

// A row of texts; the first item is returned.
QTableWidgetItem* addRow(QTableWidget* t, const QStringList& texts) {
    const int row = t->rowCount();
    t->insertRow(row);
    for (int col = 0; col < texts.size(); ++col)
        t->setItem(row, col, new QTableWidgetItem(texts[col]));
    return t->item(row, 0);
}

// Tall enough for its rows, up to a screenful.
void fitHeight(QTableWidget* t) {
    int h = t->horizontalHeader()->sizeHint().height() + 2 * t->frameWidth();
    for (int r = 0; r < t->rowCount(); ++r) h += t->rowHeight(r);
    t->setFixedHeight(std::min(h, 420));
}

}  // namespace

LoadSettingsDialog::LoadSettingsDialog(const device::Configuration& reader,
                                       const device::SettingsRecord& file, const QString& path,
                                       QWidget* parent)
    : QDialog(parent), reader_(reader), file_(file), all_(device::fit(reader, file, true)) {
    setWindowTitle(QStringLiteral("Load settings"));
    setObjectName(QStringLiteral("loadSettings"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(
        new QLabel(QStringLiteral("This reader: %1\nThe file: %2, %3")
                       .arg(device::describeReader(reader), path, device::describeRecord(file)),
                   this));
    const QStringList said = device::loadWarnings(reader, file);
    if (!said.isEmpty()) {
        warnings = new QLabel(said.join(QLatin1Char('\n')), this);
        warnings->setObjectName(QStringLiteral("warnings"));
        warnings->setWordWrap(true);
        warnings->setStyleSheet(QStringLiteral("color: #a33; font-weight: bold;"));
        layout->addWidget(warnings);
    }

    int cannot = 0;
    for (const device::FitRow& r : all_.rows)
        if (r.take != Take::Record) {
            rows_.push_back(&r);
            cannot += r.take != Take::Apply;
        }
    auto* buttons = new QDialogButtonBox(this);
    if (rows_.empty()) {
        layout->addWidget(
            new QLabel(QStringLiteral("No differences: loading would change nothing"), this));
        buttons->addButton(QDialogButtonBox::Ok);
    } else {
        auto* summary = new QLabel(
            QStringLiteral("%1 setting(s) differ. The ticked ones go into the controls, and Write "
                           "param then writes them.%2")
                .arg(rows_.size())
                .arg(cannot ? QStringLiteral(" This reader cannot take %1 of them.").arg(cannot)
                            : QString()),
            this);
        summary->setWordWrap(true);
        layout->addWidget(summary);
        changes = table(QStringLiteral("changes"),
                        {QStringLiteral("Setting"), QStringLiteral("This reader"),
                         QStringLiteral("The file"), QStringLiteral("Note")},
                        this);
        for (const device::FitRow* r : rows_) {
            QString why = r->why;
            if (r->take == Take::Skipped) why = QStringLiteral("this model cannot take it: ") + why;
            if (r->take == Take::Refused) why = QStringLiteral("cannot take it: ") + why;
            if (r->beyondList)
                why = QStringLiteral(
                    "beyond the configurator's list, as this model and firmware "
                    "keep it");
            QTableWidgetItem* first =
                addRow(changes, {settingName(*r), device::fitText(*r, reader, r->reader),
                                 device::fitText(*r, reader, r->file), why});
            const int row = changes->rowCount() - 1;
            if (r->take == Take::Apply) {
                first->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
                first->setCheckState(Qt::Checked);
            } else {
                first->setCheckState(Qt::Unchecked);
                for (int col = 0; col < changes->columnCount(); ++col) {
                    changes->item(row, col)->setFlags(Qt::NoItemFlags);  // greyed
                    changes->item(row, col)->setToolTip(why);
                }
            }
        }
        fitHeight(changes);
        layout->addWidget(changes);
        note = new QLabel(this);
        note->setWordWrap(true);
        note->hide();
        layout->addWidget(note);
        apply = buttons->addButton(QStringLiteral("Apply ticked"), QDialogButtonBox::AcceptRole);
        buttons->addButton(QDialogButtonBox::Cancel);
        connect(changes, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
            // A pair the reader keeps in shared bits is ticked together.
            const char* with = item->column() == 0
                                   ? device::takenWith(rows_[std::size_t(item->row())]->name())
                                   : nullptr;
            for (std::size_t i = 0; with && i < rows_.size(); ++i)
                if (QLatin1String(rows_[i]->name()) == QLatin1String(with) &&
                    (changes->item(int(i), 0)->flags() & Qt::ItemIsEnabled))
                    changes->item(int(i), 0)->setCheckState(item->checkState());
            ticksChanged();
        });
    }

    // What the file keeps only as a record: listed apart, never applied.
    if (all_.rows.size() > rows_.size()) {
        layout->addWidget(new QLabel(
            QStringLiteral("Kept in the file only, as a record (this reader's write does not "
                           "carry them):"),
            this));
        record = table(
            QStringLiteral("record"),
            {QStringLiteral("Setting"), QStringLiteral("This reader"), QStringLiteral("The file")},
            this);
        for (const device::FitRow& r : all_.rows)
            if (r.take == Take::Record)
                addRow(record, {settingName(r), device::fitText(r, reader, r.reader),
                                device::fitText(r, reader, r.file)});
        fitHeight(record);
        layout->addWidget(record);
    }
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    setMinimumWidth(720);
    ticksChanged();
}

int LoadSettingsDialog::rowCount() const {
    return static_cast<int>(rows_.size());
}

QStringList LoadSettingsDialog::tickedNames() const {
    QStringList names;
    for (int row = 0; changes && row < changes->rowCount(); ++row)
        if (changes->item(row, 0)->checkState() == Qt::Checked)
            names << QLatin1String(rows_[static_cast<std::size_t>(row)]->name());
    return names;
}

int LoadSettingsDialog::tickedCount() const {
    return static_cast<int>(tickedNames().size());
}

device::Fit LoadSettingsDialog::ticked() const {
    const QStringList names = tickedNames();
    return device::fit(reader_, file_, true,
                       [&names](const char* name) { return names.contains(QLatin1String(name)); });
}

void LoadSettingsDialog::ticksChanged() {
    if (!apply) return;
    // A mix of the filter boxes their rules would change cannot be taken as it is.
    const device::Fit f = ticked();
    const QStringList held = f.refused + f.skipped;
    note->setVisible(!held.isEmpty());
    note->setText(QStringLiteral("Not as ticked: ") + held.join(QStringLiteral(", ")));
    apply->setEnabled(tickedCount() > 0 && held.isEmpty());
}
