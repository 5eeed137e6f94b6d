// Stand-in for the agent's daemon entry: "daemon start --installed" writes the process-manager
// ecosystem (from $HOME/standin/ecosystem.json when present).
const fs = require('fs');
const path = require('path');

const home = process.env.HOME;
const control = (name) => path.join(home, 'standin', name);
fs.appendFileSync(control('bundle-calls.log'),
  `${process.argv.slice(2).join(' ')} PM2_HOME=${process.env.PM2_HOME} PATH=${process.env.PATH}\n`);
if (fs.existsSync(control('no-ecosystem'))) process.exit(0);
const config = fs.existsSync(control('ecosystem.json'))
  ? JSON.parse(fs.readFileSync(control('ecosystem.json'), 'utf8'))
  : { apps: [{ name: 'quorvantis', script: path.join(home, '.quorvantis', 'launcher.cjs'), env: { PATH: '/a:/usr/bin:/b:/a::' } }] };
fs.writeFileSync(path.join(home, '.quorvantis', 'pm2-ecosystem.config.cjs'), 'module.exports = ' + JSON.stringify(config) + ';\n');
