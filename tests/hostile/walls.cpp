// The walls of the test build of the player (korlan_walls): each is up but those named in
// KORLAN_WALLS_DOWN, a comma-separated list, so that a test can leave a single one standing.
#include "walls.h"

#include <cstdlib>
#include <cstring>

bool common_wall_up(const char *name)
{
    const char *down = getenv("KORLAN_WALLS_DOWN");
    size_t length = strlen(name);
    for (const char *at = down; at && (at = strstr(at, name)); at += length)
        if ((at == down || at[-1] == ',') && (at[length] == ',' || at[length] == '\0'))
            return false;
    return true;
}
