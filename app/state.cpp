// The viewer's one state record.
#include "app/app.h"

ViewerState viewer;
