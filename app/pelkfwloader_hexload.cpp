// Loading a HEX file into the flash image.

#include "pelkfwloader.h"

void PELKfwloader::on_pushButton_clicked()
{
}
