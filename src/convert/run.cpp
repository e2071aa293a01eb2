// Placeholder until the conversion run lands.
#include "form1.h"
namespace Tovanel {
void Form1::PushButton2_Click() {}
}
