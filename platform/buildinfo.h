#pragma once

// Version of the tool, shared by the tool, the simulators and the package.
const char* prismaraVersion();
