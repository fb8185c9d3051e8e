// The host simulator's plug-in interface, as the host calls it.
//
// The host binds to these objects by the position of their virtual functions,
// not by name: the declaration order below is the slot order and must never
// change. Slot 0 of every class is its destructor: an ordinary virtual
// destructor where the host is built with GCC, Microsoft's scalar deleting
// destructor where it is built with Microsoft's compiler (every Windows
// host; see pitwall/host_abi.h). DestroyHostObject() deletes an object
// through slot 0 either way. Arguments the plug-in ignores are 4-byte
// integers; "false/true" results are bool.
//
// A host loads the module, calls GetPluginObjectCount() and
// GetPluginObjectInfo(0), creates the plug-in object through the info
// object's Create(), then calls, on one thread and one call at a time:
// Startup() once; SessionStart(), SessionEnd() and UpdateScoring() any number
// of times; finally Shutdown() or Detach(); then deletes the object.
#ifndef PITWALL_HOST_INTERFACE_H_
#define PITWALL_HOST_INTERFACE_H_

#include <cstdint>

#include "pitwall/host_abi.h"

// The host's scoring record. It has no declared layout: the fields are read
// by byte offset (see pitwall/scoring_record.h).
struct HostScoringInfo;

class PluginObjectInfo;

class PluginObject {
 public:
#if PITWALL_MSVC_HOST_ABI
  // Destroys the object; frees its memory too when `flags` has
  // kHostDeleteMemory set. Returns this.
  virtual void* PITWALL_HOST_CALL ScalarDeletingDestructor(unsigned int flags) = 0;  // slot 0

 protected:
  ~PluginObject() = default;  // only through slot 0

 public:
#else
  virtual ~PluginObject() = default;      // slot 0
#endif
  virtual void PITWALL_HOST_CALL Detach() = 0;                                 // slot 1
  virtual PluginObjectInfo* PITWALL_HOST_CALL GetInfo() = 0;                   // slot 2
  virtual std::int32_t PITWALL_HOST_CALL QueryOptionCount() = 0;               // slot 3
  virtual std::int32_t PITWALL_HOST_CALL QueryOption(std::int32_t index) = 0;  // slot 4
  virtual std::int32_t PITWALL_HOST_CALL SetOption(std::int32_t index) = 0;    // slot 5
};

class InternalsPlugin : public PluginObject {
 public:
  virtual void PITWALL_HOST_CALL Startup() = 0;                               // slot 6
  virtual void PITWALL_HOST_CALL Shutdown() = 0;                              // slot 7
  virtual void PITWALL_HOST_CALL ResumeSimulation() = 0;                      // slot 8
  virtual void PITWALL_HOST_CALL PauseSimulation() = 0;                       // slot 9
  virtual bool PITWALL_HOST_CALL WantsTelemetry() = 0;                        // slot 10
  virtual void PITWALL_HOST_CALL UpdateTelemetry(std::int32_t data) = 0;      // slot 11
  virtual bool PITWALL_HOST_CALL WantsGraphics() = 0;                         // slot 12
  virtual void PITWALL_HOST_CALL UpdateGraphics(std::int32_t data) = 0;       // slot 13
  virtual bool PITWALL_HOST_CALL WantsHardwareInput() = 0;                    // slot 14
  virtual void PITWALL_HOST_CALL UpdateHardwareInput(std::int32_t data) = 0;  // slot 15
  virtual void PITWALL_HOST_CALL EnterCockpit() = 0;                          // slot 16
  virtual void PITWALL_HOST_CALL ExitCockpit() = 0;                           // slot 17
  virtual bool PITWALL_HOST_CALL CheckHardwareControl(std::int32_t control,
                                                      std::int32_t value) = 0;  // slot 18
  virtual bool PITWALL_HOST_CALL ForceFeedback(std::int32_t force) = 0;         // slot 19
  virtual bool PITWALL_HOST_CALL WantsScoring() = 0;                            // slot 20
  virtual void PITWALL_HOST_CALL SetScoringRate(std::int32_t rate) = 0;         // slot 21
};

class InternalsPluginV2 : public InternalsPlugin {
 public:
  virtual void PITWALL_HOST_CALL SessionStart() = 0;                  // slot 22
  virtual void PITWALL_HOST_CALL SessionEnd() = 0;                    // slot 23
  virtual void PITWALL_HOST_CALL EnterGarage(std::int32_t data) = 0;  // slot 24
  virtual void PITWALL_HOST_CALL LeaveGarage(std::int32_t data) = 0;  // slot 25
};

class InternalsPluginV3 : public InternalsPluginV2 {
 public:
  virtual void PITWALL_HOST_CALL UpdateScoring(const HostScoringInfo* info) = 0;  // slot 26
  virtual bool PITWALL_HOST_CALL WantsCommentary(std::int32_t data) = 0;          // slot 27
};

class PluginObjectInfo {
 public:
#if PITWALL_MSVC_HOST_ABI
  // Destroys the object; frees its memory too when `flags` has
  // kHostDeleteMemory set. Returns this.
  virtual void* PITWALL_HOST_CALL ScalarDeletingDestructor(unsigned int flags) = 0;  // slot 0

 protected:
  ~PluginObjectInfo() = default;  // only through slot 0

 public:
#else
  virtual ~PluginObjectInfo() = default;  // slot 0
#endif
  virtual const char* PITWALL_HOST_CALL GetName() = 0;         // slot 1
  virtual const char* PITWALL_HOST_CALL GetFullName() = 0;     // slot 2
  virtual const char* PITWALL_HOST_CALL GetDescription() = 0;  // slot 3
  virtual std::int32_t PITWALL_HOST_CALL GetType() = 0;        // slot 4
  virtual const char* PITWALL_HOST_CALL GetSubType() = 0;      // slot 5
  virtual std::int32_t PITWALL_HOST_CALL GetVersion() = 0;     // slot 6
  virtual PluginObject* PITWALL_HOST_CALL Create() = 0;        // slot 7
};

// Deletes an object the module created, through slot 0, as the host does.
template <typename HostObject>
inline void DestroyHostObject(HostObject* object) {
  if (object == nullptr) return;
#if PITWALL_MSVC_HOST_ABI
  object->ScalarDeletingDestructor(kHostDeleteMemory);
#else
  delete object;
#endif
}

// The module's exports, for hosts that look them up by name. Plain C names,
// the platform's default calling convention.
using GetPluginNameFn = const char* (*)();
using GetPluginVersionFn = std::int32_t (*)();
using GetPluginObjectCountFn = std::int32_t (*)();
using GetPluginObjectInfoFn = PluginObjectInfo* (*)(std::int32_t index);

#endif  // PITWALL_HOST_INTERFACE_H_
