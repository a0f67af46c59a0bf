// Start-up and shut-down: where every subsystem is wired together and taken
// apart. The exported entry points (plugin/Module.cpp) forward here.
#pragma once

namespace velmir {

constexpr const char* PluginName = "Velmir";
constexpr const char* PluginSignature = "Brannockdale.Velmir";
constexpr const char* PluginDescription =
    "Cross-Platform Multiplayer Plugin. https://velmir.example";

int PluginStart(char* outName, char* outSignature, char* outDescription);
void PluginStop();
int PluginEnable();
void PluginDisable();
void PluginReceiveMessage(int fromWho, int message, void* param);

}  // namespace velmir
