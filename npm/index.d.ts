/** The full path of the vornel library built for this platform and architecture. */
export function getLoadablePath(): string;
/** Loads vornel into a better-sqlite3 Database and returns it. */
export function load<T extends { loadExtension(path: string): unknown }>(db: T): T;
