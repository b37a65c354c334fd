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

    // The file is judged on an image of its own; the window's image and end
    // change only when it is good, and then whole.
    LoadedImage loaded;
    switch (HexLoader::verdictOf(HexLoader::loadFile(fileName, loaded))) {
    case HexVerdict::Suitable:
        flashImage = loaded.bytes();
        imageEnd = loaded.end();
        ui.pushButton_2->setEnabled(true);
        ui.label->setText(QString::asprintf("HEX-Datei OK!! Laenge: %li Byte",
                                            static_cast<long>(imageEnd)));
        colourLabel(ui.label, Qt::darkGreen);
        return;
    case HexVerdict::NotSuitable:
        ui.label->setText(QStringLiteral("HEX-Datei nicht geeignet!!"));
        break;
    case HexVerdict::Unreadable:
        ui.label->setText(QStringLiteral("HEX-Datei nicht lesbar!"));
        break;
    }
    // Whatever image the window holds now, it is not the one the user chose.
    ui.pushButton_2->setEnabled(false);
    colourLabel(ui.label, Qt::red);
}
