#include "agent/service/service.h"

int main(int argc, char** argv) { return ks::service::AgentMain(argc, argv); }
