#include "platform/buildinfo.h"

#ifndef PRISMARA_VERSION
#define PRISMARA_VERSION "0.0.0"
#endif

const char* prismaraVersion()
{
    return PRISMARA_VERSION;
}
