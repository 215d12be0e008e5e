#include "views/applocation.h"

QString applicationLocation;
