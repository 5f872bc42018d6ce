/* A host program as a POS developer would write it, built against an
 * installed QxVisor: starts the library, reads the crop rectangle, asks for
 * the state the technician's page shows (the second installed header, in C),
 * stops. */
#include <qx_ai.h>
#include <qx_tool.h>
#include <stdio.h>

int main(void) {
    int x = -1, y = -1, width = -1, height = -1;
    int init = Init();
    int setting = GetScaleSetting(&x, &y, &width, &height);
    int status = qx_tool_status(NULL, 0); /* the length of the whole JSON text */
    int close = Close();
    printf("Init %d, GetScaleSetting %d (%d %d %d %d), qx_tool_status %d, Close %d\n", init, setting, x, y, width,
           height, status, close);
    return init == QX_OK && setting == QX_OK && close == QX_OK && x >= 0 && y >= 0 && width >= 0 && height >= 0 &&
                   status > 2
               ? 0
               : 1;
}
