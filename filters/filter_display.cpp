// The filter block shown as check boxes, and the rules that tie the boxes together.

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

#include "device/settings.h"
#include "filters/filter_block.h"
#include "shell/qln_boot_pgm.h"

using filters::Box;

std::array<QCheckBox*, 17> TForm1::filterBoxes() const {
    return {cbFilter1,
            cbFilter2,
            cbFilter2Exception,
            cbZero,
            cbOTP1,
            cbOTP2,
            cbMF3,
            cbOTP2Plus,
            cbSmKey,
            cbSmKeyPlus,
            cbCounter,
            cbCounterDelete,
            cbCounterMake,
            cbVantis,
            cbMPlus,
            cbLocalFilterEn,
            cbAllowAllLocalFilterWork};
}

void TForm1::hideFilterBoxes() {
    for (QCheckBox* box : filterBoxes()) box->hide();
    lbLocalFilter->hide();
}

bool TForm1::checkFilterV010701(const uint8_t* p) {
    return filters::allFiltersInstalled(p);
}

bool TForm1::ParseFilter(const uint8_t* p, uint8_t tp) {
    FilterDefault();
    if (!filters::signatureValid(p)) {
        log(QStringLiteral("Not read param of filtes."));
        return false;
    }
    showFilterChoice(device::decodeFilterBlock(p, tp));
    return true;
}

void TForm1::showFilterChoice(const filters::BoxStates& choice) {
    FilterReset();
    FilterUnVisible();
    for (QCheckBox* box : filterBoxes()) box->show();
    lbLocalFilter->show();
    // Only checks, in block order; each trigger box that changes runs the rules at once.
    const auto boxes = filterBoxes();
    for (int i = 0; i < filters::kBoxCount; ++i)
        if (choice[i]) boxes[i]->setChecked(true);
    logickFilter();
}

void TForm1::FilterReset() {
    for (QCheckBox* box : filterBoxes()) box->setChecked(false);
}

void TForm1::FilterDefault() {
    // Filter 2 goes first: while it is checked, checking Filter 1 would be undone by the rules.
    const auto boxes = filterBoxes();
    cbFilter2->setChecked(false);
    for (int i = filters::kBoxCount - 1; i >= 0; --i)
        boxes[i]->setChecked(filters::kDefaultChecked[i]);
    logickFilter();
    edTimeOpen->hide();
    lbTimeOpen->hide();
}

void TForm1::FilterUnVisible() {
    hideFilterBoxes();
    edTimeOpen->hide();
    lbTimeOpen->hide();
}

void TForm1::logickFilter() {
    // The rules run on the window's configuration, which every box's change has reached; the
    // boxes follow it. A box the rules uncheck runs its own click handler, and so the rules
    // again, as a click would.
    const device::FilterRules rules = config_.runFilterRules();
    const auto boxes = filterBoxes();
    for (int i = 0; i < filters::kBoxCount; ++i)
        if (boxes[i]->isChecked() != rules.checked[i]) boxes[i]->setChecked(rules.checked[i]);
    for (int i = 0; i < filters::kBoxCount; ++i)
        if (rules.enabled[i]) boxes[i]->setEnabled(*rules.enabled[i]);
}

void TForm1::cbCounterClick() {
    logickFilter();
}
void TForm1::cbFilter1Click() {
    logickFilter();
}
void TForm1::cbFilter2Click() {
    logickFilter();
}
void TForm1::cbMF3Click() {
    logickFilter();
}
void TForm1::cbOTP2Click() {
    logickFilter();
}
