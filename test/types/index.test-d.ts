import { expectAssignable, expectError, expectType } from 'tsd';
import * as kinovar from '../../lib';

// Native functions keep their text answers.
expectType<string>(kinovar.read('a.bin', 'a.csv'));
expectType<kinovar.SyncStatus>(kinovar.readAndSync2(['a.bin'], 'out'));
expectType<'OK' | 'ERROR'>(kinovar.writeConfig('s.cfg', 'baro,25'));
expectError(kinovar.read('a.bin'));
expectError(kinovar.readAndSync2('a.bin', 'out'));

const info = kinovar.readRecording('a.bin', 'a.csv');
expectType<number>(info.frequency);
expectType<string>(info.version);
expectType<number | undefined>(info.quality.streams.accel?.gaps.missing);
expectType<'malformed' | 'unknown' | 'truncated'>(kinovar.inspect('a.bin').settingsRecords[0].problem);
const synced = kinovar.syncRecordings(['a.bin', 'b.bin'], 'out');
expectAssignable<string[]>(synced);
expectType<kinovar.SyncMethod | 'none'>(synced.report.method);
expectType<number>(synced.report.window.end - synced.report.offsets[0]);
expectType<number | undefined>(kinovar.loadSet(['a.bin', 'b.bin']).report.samples[0].gyro);
kinovar.readRecording('a.bin', 'a.csv', { orientation: 'accurate' });
kinovar.syncRecordings(['a.bin', 'b.bin'], 'out', { orientation: 'none', threads: 1, clock: 'offset' });
expectError(kinovar.loadSet(['a.bin', 'b.bin'], { clock: 'rate' }));
expectError(kinovar.readRecording('a.bin', 'a.csv', { orientation: 'best' }));
kinovar.readRecording('a.bin', 'a.parquet', { format: 'parquet', orientation: 'none', overwrite: true });
kinovar.syncRecordings(['a.bin', 'b.bin'], 'out', { format: 'opensense', imuNames: ['pelvis_imu', 'femur_r_imu'] });
expectError(kinovar.readRecording('a.bin', 'a.sto', { format: 'opensense' }));
expectError(kinovar.load('a.bin', { orientation: 'fast' }));
const loaded = kinovar.load('a.bin', { orientation: 'accurate' });
expectType<Float64Array | undefined>(loaded.streams.orientation?.w);
expectType<Float64Array | undefined>(loaded.streams.baro?.pressure);
expectType<string>(kinovar.loadSet(['a.bin', 'b.bin']).recordings[0].path);
expectType<Record<string, Float64Array>>(kinovar.readParquet('a.parquet', { from: 3600, to: 7200, streams: ['accel'] }).columns);
expectError(kinovar.readParquet('a.parquet', { streams: ['gps'] }));

const settings = kinovar.readSettings('s.cfg');
expectType<number | undefined>(settings.accel?.range);
kinovar.writeSettings('s.cfg', { ...settings, deviceId: 3 });
kinovar.writeSettings('new.cfg', { accel: { gainX: 0.9995 } }, { from: 'rec.bin' });
kinovar.readRecording('a.bin', 'a.csv', { overwrite: true });
expectError(kinovar.readRecording('a.bin', 'a.csv', { overwrite: 'yes' }));
kinovar.writeFileAtomic('page.html', '<!doctype html>');
expectType<number>(kinovar.readDeviceId('s.cfg'));

try {
  kinovar.readRecording('a.bin', 'a.csv');
} catch (error) {
  if (error instanceof kinovar.KinovarError) {
    expectAssignable<kinovar.ErrorCode>(error.code);
    expectType<'-10' | '-13' | '-11' | '-12' | undefined>(error.status);
    if (error.cause?.reason === 'other-channel') expectType<number[]>(error.cause.channels);
    if (error.code === 'ENOTDIR' || error.code === kinovar.codes.NOT_OURS) expectType<string | undefined>(error.path);
  }
}
expectType<'ERR_KINOVAR_UNREADABLE'>(kinovar.codes.UNREADABLE);

(async () => {
  const controller = new AbortController();
  expectType<kinovar.RecordingInfo>(await kinovar.promises.readRecording('a.bin', 'a.csv', {
    signal: controller.signal, orientation: 'classic',
  }));
  expectType<Float64Array | undefined>((await kinovar.promises.load('a.bin', { signal: controller.signal })).streams.accel?.x);
  await kinovar.promises.syncRecordings(['a.bin'], 'out', { signal: controller.signal }).catch((error: kinovar.AbortError) => {
    expectType<'ABORT_ERR'>(error.code);
    expectType<kinovar.BatchResult[] | undefined>(error.results);
  });
  expectType<kinovar.SyncReport>((await kinovar.promises.syncRecordings(['a.bin', 'b.bin'], 'out')).report);
  const results = await kinovar.promises.readRecordings(['a.bin', { recording: 'b.bin', csv: 'b.csv' }, { recording: 'c.bin', output: 'c.csv' }], {
    jobs: 2,
    outDir: 'out',
    orientation: 'accurate',
    onProgress: ({ done, total }) => expectType<number>(done + total),
  });
  for (const result of results) {
    expectType<string>(result.output);
    if (result.ok) expectType<kinovar.RecordingInfo>(result.info);
    else expectType<Error>(result.error);
  }
  expectError(kinovar.promises.readRecordings(['a.bin'], { jobs: '2' }));
  expectType<number>((await kinovar.promises.inspect('a.bin')).outOfOrder);
})();

const run = kinovar.batch(['study'], 'out', { format: 'parquet', shard: '0/4', retryFailed: true });
expectType<'converted' | 'current' | 'failed'>(run.rows[0].status);
expectType<number>(run.counts.failed);
expectType<Promise<kinovar.CohortRun>>(kinovar.promises.batch(['study'], 'out', { jobs: 2, signal: new AbortController().signal,
  onProgress: ({ done, total, row }) => { expectType<string>(row.key); expectType<number>(done + total); } }));
expectType<string[]>(kinovar.mergeBatch('out').files);
expectError(kinovar.batch('study', 'out'));
expectError(kinovar.batch(['study'], 'out', { shard: 3 }));
