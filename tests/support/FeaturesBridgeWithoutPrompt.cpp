// A prompt module of the right name that lacks the prompt export, as an
// older or broken install of the module would.

extern "C" __attribute__((visibility("default"))) int FeaturesBridgeVersion() { return 1; }
