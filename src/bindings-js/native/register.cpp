// The JavaScript layer's entry, a module of its own so that the classic
// module keeps its five functions: the name of each entry.
#include "bindings-js/native/native.h"

#include <utility>

namespace {

using namespace kinovar::native;

Napi::Object Register(Napi::Env env, Napi::Object exports) {
  const std::pair<const char*, Napi::Function::Callback> entries[] = {
      {"init", Init},
      {"convertRecording", ConvertRecording},
      {"convertSet", ConvertSet},
      {"convertOpenSim", ConvertOpenSim},
      {"writeBids", WriteBids},
      {"bidsLayout", BidsLayoutOf},
      {"bidsLabelFits", BidsLabelFits},
      {"bidsPlacementFits", BidsPlacementFits},
      {"mendedName", MendedName},
      {"calibrationSummary", CalibrationSummary},
      {"inspect", Inspect},
      {"calibrate", Calibrate},
      {"ticksOffClock", TicksOffClock},
      {"dateProblem", DateProblem},
      {"loadRecording", LoadRecording},
      {"openTable", OpenTable},
      {"openEpochs", OpenEpochs},
      {"planDays", PlanDays},
      {"wallTimeOffset", WallTimeOffset},
      {"wallTimeChange", WallTimeChange},
      {"nextEpochs", NextEpochs},
      {"nextEpochText", NextEpochText},
      {"epochProgress", EpochProgress},
      {"epochSummary", EpochSummaryOf},
      {"dayText", DayText},
      {"closeEpochs", CloseEpochs},
      {"nextRows", NextRows},
      {"closeTable", CloseTable},
      {"openSetTable", OpenSetTable},
      {"closeSetTable", CloseSetTable},
      {"sampleRows", SampleRows},
      {"loadSet", LoadSet},
      {"viewData", ViewData},
      {"viewSamples", ViewSamples},
      {"parquetWriter", ParquetWriter},
      {"parquetAppend", ParquetAppend},
      {"parquetFinish", ParquetFinish},
      {"convertParquet", ConvertParquet},
      {"convertParquetSet", ConvertParquetSet},
      {"datetimes", Datetimes},
      {"replaceFiles", ReplaceFiles},
      {"openOutputs", OpenOutputs},
      {"appendOutput", AppendOutput},
      {"commitOutputs", CommitOutputs},
      {"discardOutputs", DiscardOutputs},
      {"fileStem", FileStem},
      {"outputClash", OutputClash},
      {"targetClash", TargetClash},
      {"isDeviceName", IsDeviceName},
      {"checkRecordingFile", CheckRecordingFile},
      {"existingFile", ExistingFileOf},
      {"readSettings", ReadSettings},
      {"settingsWrite", SettingsToWrite},
      {"settingsLists", SettingsLists},
      {"schema", Schema},
      {"temporaryFolder", TemporaryFolder},
      {"discardTemporary", DiscardTemporary},
      {"abandonTemporaries", AbandonTemporaries},
      {"noteMadeFolder", NoteMadeFolder},
      {"exitNow", ExitNow},
      {"stopConversions", StopConversions},
      {"cancelFlag", CancelFlag},
      {"cancel", Cancel},
      {"dropCancelFlag", DropCancelFlag},
      {"cancelOn", CancelOn},
      {"limitAllocatorPools", LimitAllocatorPools},
  };
  for (const auto& [name, callback] : entries) exports.Set(name, Napi::Function::New(env, callback, name));
  return exports;
}

}  // namespace

NODE_API_MODULE(native, Register)
