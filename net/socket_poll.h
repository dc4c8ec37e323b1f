// poll() on one socket, shared by the waits and the connect of the blocking socket.
#pragma once

int PollRetrying(int fd, short events, int timeout);
