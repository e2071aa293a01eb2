// Placeholder until the output destination handlers land.
#include "form1.h"
namespace Tovanel {
void Form1::Option1_Click() {}
void Form1::Option2_Click() {}
void Form1::Text1_Change() {}
void Form1::PushButton6_Click() {}
}
