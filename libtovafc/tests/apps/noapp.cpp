// A program linked with the framework that defines no application object.
#include "tovafc.h"
