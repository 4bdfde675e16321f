#include "NModuleInterface.h"

int IEvent::Send(const char*, unsigned int) { return -1; }
int IEvent::Recv(char*, unsigned int) { return -1; }
int IEvent::Wait(unsigned int, unsigned int) { return -1; }
IEvent::~IEvent() {}
