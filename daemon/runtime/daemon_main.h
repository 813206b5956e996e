#pragma once

class Controller;

// Client, refusal or daemon; returns the process exit status.
int daemon_main(Controller& controller);
