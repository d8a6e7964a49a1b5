// The page's only way to the server: its own JSON API, same origin, with
// the cookie the token link set.

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

export function query(values) {
  const p = new URLSearchParams();
  for (const [key, value] of Object.entries(values)) {
    if (value === undefined || value === null || value === '') continue;
    p.set(key, Array.isArray(value) ? value.join(',') : String(value));
  }
  return p;
}

async function get(path, params, signal) {
  const qs = params && String(params);
  const response = await fetch(qs ? `${path}?${qs}` : path, { signal, credentials: 'same-origin' });
  if (!response.ok) {
    let message = `${response.status} ${response.statusText}`;
    try {
      const body = await response.json();
      if (body && body.error) message = body.error;
    } catch { /* not JSON: keep the status line */ }
    throw new ApiError(response.status, message);
  }
  return response;
}

export async function getJSON(path, params, { signal } = {}) {
  return (await get(path, params, signal)).json();
}

export async function getText(path, params, { signal } = {}) {
  return (await get(path, params, signal)).text();
}
