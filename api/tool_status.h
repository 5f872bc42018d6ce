#pragma once
// The library's side of the set-up page's queries (include/qx_tool.h): what
// folder learning reports for the page's progress bar.

// Folder learning counts its pictures here.
void tool_status_learning_started();
void tool_status_picture_learned();
