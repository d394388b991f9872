#include "app/uMain.h"

// The upload to the server and the temperature log live here.
void TfMain::Timer1Timer(QObject* /*Sender*/) {}
