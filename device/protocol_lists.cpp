// The output protocol lists and what the user's changes to them do.

#include "device/protocol_lists.h"

#include <QCheckBox>
#include <QComboBox>

#include "shell/qln_boot_pgm.h"

namespace {

// The index of the selected entry as the reader's byte: no selected entry gives 255.
uint8_t selectedIndex(const QComboBox* list) {
    return static_cast<uint8_t>(list->currentIndex());
}

}  // namespace

void device::selectEntry(QComboBox* list, int index) {
    list->setCurrentIndex(index < list->count() ? index : -1);
}

void device::chooseEntry(QComboBox* list, int index) {
    list->setCurrentIndex(index);
    emit list->activated(index);
}

void TForm1::setTypeProt(uint8_t n, bool f) {
    cbTypeProt->clear();
    const auto& names = f ? device::kProtocolWithoutParity : device::kProtocolWithParity;
    for (int i = 0; i < n && i < device::kMaxProtocolEntries; ++i)
        cbTypeProt->addItem(QString::fromLatin1(names[i]));
}

void TForm1::cbTypeProtChange(int /*index*/) {
    protocol = selectedIndex(cbTypeProt);
    config_.settings.protocol = protocol;
    log(cbTypeProt->currentText());
}

void TForm1::cbTypeProt2Change(int /*index*/) {
    protocol2 = selectedIndex(cbTypeProt2);
    config_.chooseProtocol2(protocol2);
    log(cbTypeProt2->currentText());
    cbRs485_232->setVisible(protocol2 == device::kSecondProtocolSerial);
}

void TForm1::cobTypeCodeChange(int /*index*/) {
    typecode = selectedIndex(cobTypeCode);
    config_.settings.typecode = typecode;
    log(cobTypeCode->currentText());
}

void TForm1::cbWgParityNoClick() {
    setTypeProt(nWiegand, cbWgParityNo->isChecked());
    device::selectEntry(cbTypeProt, protocol);
}
