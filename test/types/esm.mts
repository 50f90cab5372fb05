// Named imports of the ESM entry, as an application with module nodenext writes them.
import kinovar, { readRecording, promises, codes, KinovarError, type Estimator } from 'kinovar';

const orientation: Estimator = 'classic';
const info = readRecording('pelvis.bin', 'pelvis.csv', { orientation });
const loaded: Promise<kinovar.LoadedRecording> = promises.load('pelvis.bin');
export const checks = [info.frequency, loaded, codes.FORMAT, new KinovarError('x', codes.FORMAT).code, kinovar.formats];
