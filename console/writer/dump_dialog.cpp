#include "dump_dialog.h"

#include "writer_resources.h"

namespace writer {

DumpDialog::DumpDialog(DumpContent content) : ui::Dialog(dumpDialogTemplate()), content_(std::move(content)) {}

bool DumpDialog::onInitDialog() {
    for (const std::string& line : content_.lines) addString(IDC_DUMP_LIST, line);
    setText(IDC_DUMP_VENDOR, content_.strings.vendor);
    setText(IDC_DUMP_PRODUCT, content_.strings.product);
    setText(IDC_DUMP_SERIAL, content_.strings.serial);
    setText(IDC_DUMP_INTERFACE, content_.strings.interface);
    setText(IDC_DUMP_CARD_TYPE, content_.strings.cardType);
    setText(IDC_DUMP_INQ_VENDOR, "");
    setText(IDC_DUMP_INQ_PRODUCT, "");
    return true;
}

}  // namespace writer
