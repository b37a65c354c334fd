// Loading a HEX file into the flash image.

#include "pelkfwloader.h"

#include "hexloader.h"

#include <QDir>
#include <QFileDialog>

void PELKfwloader::on_pushButton_clicked()
{
    const QString fileName = QFileDialog::getOpenFileName(
        this, tr("HEX-Datei Laden", "FileDialog"),
        QDir(QDir::homePath()).filePath(QStringLiteral("*.hex")),
        tr("HEX-Datei (*.hex)", "FileDialog"));
    if (fileName.isEmpty()) {
        ui.label->setText(QStringLiteral("HEX-Datei Laden, Abbruch!"));
        colourLabel(ui.label, Qt::red);
        return;
    }

    switch (HexLoader::loadFile(fileName, flashImage, imageEnd)) {
    case HexLoadResult::Suitable:
        ui.pushButton_2->setEnabled(true);
        ui.label->setText(QString::asprintf("HEX-Datei OK!! Laenge: %li Byte",
                                            static_cast<long>(imageEnd)));
        colourLabel(ui.label, Qt::darkGreen);
        return;
    case HexLoadResult::Unsuitable:
    case HexLoadResult::Refused:
        ui.label->setText(QStringLiteral("HEX-Datei nicht geeignet!!"));
        break;
    case HexLoadResult::Unreadable:
        ui.label->setText(QStringLiteral("HEX-Datei nicht lesbar!"));
        break;
    }
    // An image that failed its test must not be written.
    ui.pushButton_2->setEnabled(false);
    colourLabel(ui.label, Qt::red);
}
