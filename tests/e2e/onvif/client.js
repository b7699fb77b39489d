// What a recorder built on the npm "onvif" client sees of a camera, printed as one JSON line.
//   node client.js connect HOST PORT USER PASSWORD
//   node client.js discover unicast:ADDRESS|multicast TIMEOUT_MS
'use strict';
const dgram = require('dgram');
const onvif = require('onvif');

function print(result) {
  process.stdout.write(JSON.stringify(result) + '\n');
}

function connect(hostname, port, username, password) {
  const result = {profiles: 0, profileToken: null, sourceToken: null, streamUri: null,
                  snapshotUri: null, errors: []};
  const cam = new onvif.Cam({hostname, port: Number(port), username, password, timeout: 10000,
                             autoconnect: false});
  cam.on('warning', (warning) => result.errors.push('warning: ' + warning));
  cam.connect((err) => {
    if (err) result.errors.push('connect: ' + err.message);
    const profiles = cam.profiles || [];
    result.profiles = profiles.length;
    if (profiles.length > 0) {
      result.profileToken = profiles[0].$.token;
      const source = profiles[0].videoSourceConfiguration;
      result.sourceToken = source ? source.sourceToken : null;
    }
    // The client asks with its first profile's token whether or not it got one.
    const token = result.profileToken || 'Profile_1';
    cam.getStreamUri({protocol: 'RTSP', profileToken: token}, (uriErr, stream) => {
      if (uriErr) result.errors.push('stream: ' + uriErr.message);
      else result.streamUri = stream.uri;
      cam.getSnapshotUri({profileToken: token}, (snapErr, snapshot) => {
        if (snapErr) result.errors.push('snapshot: ' + snapErr.message);
        else result.snapshotUri = snapshot.uri;
        print(result);
      });
    });
  });
}

function discover(target, timeout) {
  if (target.startsWith('unicast:')) {
    // The client only ever probes the multicast group; a unicast probe is the same datagram sent to
    // one address, which reaches a camera even where multicast does not.
    const address = target.slice('unicast:'.length);
    const send = dgram.Socket.prototype.send;
    dgram.Socket.prototype.send = function(message, offset, length, port, host, ...rest) {
      if (host === '239.255.255.250') host = address;
      return send.call(this, message, offset, length, port, host, ...rest);
    };
  }
  const found = [];
  const errors = [];
  onvif.Discovery.on('error', (err) => errors.push(String(err && err.message || err)));
  onvif.Discovery.probe({timeout: Number(timeout), resolve: false}, (err, answers) => {
    if (err) errors.push(err.message);
    for (const answer of answers || []) {
      const match = answer.probeMatches.probeMatch;
      found.push({urn: match.endpointReference.address, types: match.types,
                  scopes: String(match.scopes._ || match.scopes).split(/\s+/),
                  xaddrs: String(match.XAddrs).split(/\s+/)});
    }
    print({found, errors});
  });
}

const [mode, ...args] = process.argv.slice(2);
if (mode === 'connect') connect(...args);
else if (mode === 'discover') discover(...args);
else {
  process.stderr.write('usage: client.js connect HOST PORT USER PASSWORD | discover TARGET MS\n');
  process.exit(2);
}
