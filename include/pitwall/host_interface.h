// The host simulator's plug-in interface, as the host calls it.
//
// The host binds to these objects by the position of their virtual functions,
// not by name: the declaration order below is the slot order and must never
// change. Slot 0 of every class is its virtual destructor. Arguments the
// plug-in ignores are 4-byte integers; "false/true" results are bool.
//
// A host loads the module, calls GetPluginObjectCount() and
// GetPluginObjectInfo(0), creates the plug-in object through the info
// object's Create(), then calls, on one thread and one call at a time:
// Startup() once; SessionStart(), SessionEnd() and UpdateScoring() any number
// of times; finally Shutdown() or Detach(); then deletes the object.
#ifndef PITWALL_HOST_INTERFACE_H_
#define PITWALL_HOST_INTERFACE_H_

#include <cstdint>

// The host's scoring record. It has no declared layout: the fields are read
// by byte offset (see pitwall/scoring_record.h).
struct HostScoringInfo;

class PluginObjectInfo;

class PluginObject {
 public:
  virtual ~PluginObject() = default;                       // slot 0
  virtual void Detach() = 0;                               // slot 1
  virtual PluginObjectInfo* GetInfo() = 0;                 // slot 2
  virtual std::int32_t QueryOptionCount() = 0;             // slot 3
  virtual std::int32_t QueryOption(std::int32_t index) = 0;  // slot 4
  virtual std::int32_t SetOption(std::int32_t index) = 0;  // slot 5
};

class InternalsPlugin : public PluginObject {
 public:
  virtual void Startup() = 0;                              // slot 6
  virtual void Shutdown() = 0;                             // slot 7
  virtual void ResumeSimulation() = 0;                     // slot 8
  virtual void PauseSimulation() = 0;                      // slot 9
  virtual bool WantsTelemetry() = 0;                       // slot 10
  virtual void UpdateTelemetry(std::int32_t data) = 0;     // slot 11
  virtual bool WantsGraphics() = 0;                        // slot 12
  virtual void UpdateGraphics(std::int32_t data) = 0;      // slot 13
  virtual bool WantsHardwareInput() = 0;                   // slot 14
  virtual void UpdateHardwareInput(std::int32_t data) = 0;  // slot 15
  virtual void EnterCockpit() = 0;                         // slot 16
  virtual void ExitCockpit() = 0;                          // slot 17
  virtual bool CheckHardwareControl(std::int32_t control, std::int32_t value) = 0;  // slot 18
  virtual bool ForceFeedback(std::int32_t force) = 0;      // slot 19
  virtual bool WantsScoring() = 0;                         // slot 20
  virtual void SetScoringRate(std::int32_t rate) = 0;      // slot 21
};

class InternalsPluginV2 : public InternalsPlugin {
 public:
  virtual void SessionStart() = 0;                         // slot 22
  virtual void SessionEnd() = 0;                           // slot 23
  virtual void EnterGarage(std::int32_t data) = 0;         // slot 24
  virtual void LeaveGarage(std::int32_t data) = 0;         // slot 25
};

class InternalsPluginV3 : public InternalsPluginV2 {
 public:
  virtual void UpdateScoring(const HostScoringInfo* info) = 0;  // slot 26
  virtual bool WantsCommentary(std::int32_t data) = 0;     // slot 27
};

class PluginObjectInfo {
 public:
  virtual ~PluginObjectInfo() = default;                   // slot 0
  virtual const char* GetName() = 0;                       // slot 1
  virtual const char* GetFullName() = 0;                   // slot 2
  virtual const char* GetDescription() = 0;                // slot 3
  virtual std::int32_t GetType() = 0;                      // slot 4
  virtual const char* GetSubType() = 0;                    // slot 5
  virtual std::int32_t GetVersion() = 0;                   // slot 6
  virtual PluginObject* Create() = 0;                      // slot 7
};

// The module's exports, for hosts that look them up by name.
using GetPluginNameFn = const char* (*)();
using GetPluginVersionFn = std::int32_t (*)();
using GetPluginObjectCountFn = std::int32_t (*)();
using GetPluginObjectInfoFn = PluginObjectInfo* (*)(std::int32_t index);

#endif  // PITWALL_HOST_INTERFACE_H_
