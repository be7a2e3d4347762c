#include "LaunchAtLoginAlert.h"

#include "LaunchAtLogin.h"

#include <QMessageBox>

namespace kestrova {

void LaunchAtLoginAlert::show(QWidget* parent, bool enabling, const Error& failure) {
    auto* alert = new QMessageBox(parent);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowTitle(QStringLiteral("kestrova"));
    alert->setText(LaunchAtLogin::failureMessage(enabling));
    alert->setInformativeText(failure.description);
    if (parent) {
        alert->open();
        return;
    }
    // On its own (from the tray) it blocks nothing: an overlay may come over it and
    // must get the keys.
    alert->setWindowModality(Qt::NonModal);
    alert->show();
}

} // namespace kestrova
