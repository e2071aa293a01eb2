// Placeholder until the sample files land.
#include "form1.h"
namespace Tovanel {
void Form1::TakeSampleSnapshot() {}
void Form1::LoadSampleFiles() {}
void Form1::PushButton5_Click() {}
}
