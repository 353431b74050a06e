// What the Stop button does: ask the worker to end, wait for it (bounded), clean up on its behalf.
#pragma once

// Dialog thread only, while g_hWorker is a running worker.
void StopUpload();
