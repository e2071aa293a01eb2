// Placeholder until the intake paths land.
#include "form1.h"
#include <QMimeData>
namespace Tovanel {
void Form1::PushButton1_Click() {}
void Form1::PushButton3_Click() {}
bool Form1::ListView1_OLEDragOver(const QMimeData* data) { return data && data->hasUrls(); }
void Form1::ListView1_OLEDragDrop(const QMimeData*) {}
}
