#!/usr/bin/python3
"""The operator console in headless chromium against canbus-server on its bundled example.

Two runs of the server: one where the browser (127.0.0.1) may write, one where it may not. The
server's standard input (always a writer) drives the simulated devices and checks what the page
did. Every wait is a WebDriverWait on a condition. Exit 77: chromium, its driver or selenium
missing (CTest shows the test skipped)."""
import argparse
import json
import os
import queue
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import urllib.request

CHROMIUM, DRIVER = '/usr/bin/chromium', '/usr/bin/chromedriver'
if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
    print('SKIP: needs', CHROMIUM, 'and', DRIVER)
    sys.exit(77)
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print('SKIP: needs python3-selenium')
    sys.exit(77)

# Controls only a writer may have: none of them may be in a read-only client's page.
WRITE_CONTROLS = '[data-write], button.write, [data-test=setpoint-input], [data-test^=nmt-], ' \
                 '[data-test^=drive-], [data-test=object-write], [data-test=scan-run], [data-test=lss-run]'


class Server:
    """canbus-server on the example, its HTTP API on a free port, requests by standard input."""

    def __init__(self, exe, console, writers, tmp):
        with socket.socket() as s:
            s.bind(('127.0.0.1', 0))
            port = s.getsockname()[1]
        self.base = 'http://127.0.0.1:%d' % port
        work = tempfile.mkdtemp(dir=tmp)
        self.log_path = os.path.join(tmp, 'server-%s.log' % writers.replace('/', '_'))
        self.proc = subprocess.Popen(
            [exe, '--workdir', work, '--http', '127.0.0.1:%d' % port, '--console', console,
             '--writers', writers], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=open(self.log_path, 'w'), text=True, bufsize=1)
        self.out = queue.Queue()
        self.asked = 0
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.out.put(line.rstrip('\n'))

    def _line(self):
        return self.out.get(timeout=30)

    def ask(self, request):
        """One request by standard input; its answer's lines. The server prints its start-up
        lines on the same output: an unknown request first, whose error marks where ours begins."""
        self.asked += 1
        mark = 'mark-%d' % self.asked
        self.proc.stdin.write(mark + '\n' + request + '\n')
        self.proc.stdin.flush()
        while not self._line().startswith("error: unknown request '%s'" % mark):
            pass
        first = self._line()
        if first.startswith('ok ') and first.endswith(' lines'):
            return [self._line() for _ in range(int(first.split()[1]))]
        return [first]

    def api(self, path):
        with urllib.request.urlopen(self.base + path, timeout=10) as r:
            return json.load(r)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write('quit\n')
                self.proc.stdin.close()
                self.proc.wait(timeout=20)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


def shown_state(node):
    return 'lost' if node['lost'] else (node['state'] or '-')


class Run:
    def __init__(self, args, writers):
        self.server = Server(args.server, args.console, writers, args.tmp)
        self.driver = browser()
        self.artifacts = args.artifacts

    def wait(self, what, cond, seconds=30):
        """Waits until cond() is true (exceptions while the server starts count as not yet)."""
        def check(_):
            if self.server.proc.poll() is not None:
                raise AssertionError('canbus-server ended (status %d) while waiting: %s'
                                     % (self.server.proc.returncode, what))
            return cond()
        return WebDriverWait(self.driver, seconds, poll_frequency=0.2,
                             # A script the page had no time for (a loaded machine) is not yet.
                             ignored_exceptions=(OSError, ValueError, KeyError, queue.Empty,
                                                 StaleElementReferenceException,
                                                 TimeoutException)) \
            .until(check, 'timed out waiting: ' + what)

    def open(self, view):
        self.driver.get(self.server.base + '/#/' + view)
        self.wait('the page to know its client',
                  lambda: self.driver.find_element(By.TAG_NAME, 'body').get_attribute('data-writer'))

    def css(self, selector):
        return self.driver.find_elements(By.CSS_SELECTOR, selector)

    def row(self, name, attribute):
        # In the page in one step: the table is made anew every second.
        return self.driver.execute_script(
            'const r = document.querySelector(`tr[data-test=crate-row][data-name="${arguments[0]}"]`);'
            'return r && r.getAttribute(arguments[1]);', name, attribute)

    def row_state(self, name):
        return self.row(name, 'data-state')

    def crate_matches_server(self):
        nodes = self.server.api('/api/nodes')['nodes']
        return len(nodes) >= 7 and all(self.row_state(n['name']) == shown_state(n) for n in nodes)

    def shot(self, name):
        os.makedirs(self.artifacts, exist_ok=True)
        self.driver.save_screenshot(os.path.join(self.artifacts, 'console-%s.png' % name))

    def js_errors(self):
        return [e['message'] for e in self.driver.get_log('browser') if 'Uncaught' in e['message']]

    def close(self):
        self.driver.quit()
        self.server.close()


def browser():
    o = webdriver.ChromeOptions()
    o.binary_location = CHROMIUM
    for a in ('--headless=new', '--no-sandbox', '--disable-gpu', '--window-size=1400,900'):
        o.add_argument(a)
    o.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    d = webdriver.Chrome(service=Service(DRIVER), options=o)
    d.set_script_timeout(5)  # a check that waits longer is tried again (wait())
    return d


def writer_run(args):
    r = Run(args, '127.0.0.1')
    try:
        r.wait('the server to start', lambda: r.server.api('/api/me')['writer'], 60)
        r.open('crate')
        assert r.driver.find_element(By.TAG_NAME, 'body').get_attribute('data-writer') == 'true'
        r.wait('every node in the crate table with its state', r.crate_matches_server, 60)
        r.shot('crate')

        # A set-point from the node page: the supply takes it by RPDO and its current follows.
        r.open('node/CAN.MAGNET')
        box = r.wait('the set-point input', lambda: r.css(
            '[data-test=setpoint-input][data-name="CAN.MAGNET.SETPOINT"]'))[0]
        box.send_keys('2500')
        r.css('[data-test=setpoint-set][data-name="CAN.MAGNET.SETPOINT"]')[0].click()
        r.wait('the set-point taken', lambda: '= 2500 mA' in r.server.ask('get CAN.MAGNET.SETPOINT')[0])
        r.wait('the current to follow the RPDO',
               lambda: '= 2500 mA' in r.server.ask('get CAN.MAGNET.CURRENT')[0])
        r.wait('the write in the log with its client', lambda: any(
            'CAN.MAGNET.SETPOINT set to' in l and 'by anonymous@127.0.0.1' in l
            for l in open(r.server.log_path)))

        # A live plot gains points.
        r.open('plots/CAN.MAGNET.CURRENT')
        points = lambda: int(r.css('[data-test=plot][data-name="CAN.MAGNET.CURRENT"]')[0]
                             .get_attribute('data-points'))
        first = r.wait('the first points of the plot', lambda: points() > 0 and points())
        r.wait('more points in the plot', lambda: points() > first)
        r.shot('plot')

        # The trace: an SDO read decoded with the object's name from the node's EDS.
        r.open('trace')
        r.wait('trace lines', lambda: r.css('tr[data-test=trace-row]'))
        assert r.server.ask('sdo read CAN.PUMP 0x1008 0')[0].startswith('"'), 'sdo read failed'
        r.wait('the SDO read in the trace', lambda: r.driver.execute_script(
            'return [...document.querySelectorAll("tr[data-test=trace-row][data-service=SDO]")]'
            '.some((t) => t.textContent.includes("0x1008") && t.textContent.includes("Manufacturer device name"))'))

        # A node that falls silent turns lost in the table.
        r.open('crate')
        r.wait('CAN.VALVE in the table', lambda: r.row_state('CAN.VALVE') not in (None, 'lost'), 30)
        assert r.server.ask('sim silent CAN.VALVE on') == ['ok']
        r.wait('CAN.VALVE lost', lambda: r.row_state('CAN.VALVE') == 'lost', 30)
        assert 'state-lost' in r.row('CAN.VALVE', 'class')
        assert not r.js_errors(), r.js_errors()
    except Exception:
        print(open(r.server.log_path).read()[-4000:], file=sys.stderr)
        raise
    finally:
        r.close()


def read_only_run(args):
    r = Run(args, 'local')  # only Unix-socket clients write: the browser on 127.0.0.1 may not
    try:
        r.wait('the server to start', lambda: r.server.api('/api/nodes')['nodes'], 60)
        r.open('crate')
        assert r.driver.find_element(By.TAG_NAME, 'body').get_attribute('data-writer') == 'false'
        r.wait('the crate table', r.crate_matches_server, 60)
        assert not r.css(WRITE_CONTROLS)
        for view, ready in (('node/CAN.MAGNET', 'tr[data-test=value-row]'),
                            ('node/CAN.SLIT', 'dl[data-test=identity]'),
                            ('plots/CAN.MAGNET.CURRENT', '[data-test=plot]'),
                            ('scan', '[data-test=scan-read-only]'), ('events', '[data-test=events-table]')):
            r.open(view)
            r.wait(view + ' shown', lambda: r.css(ready))
            if view.startswith('node/'):  # its objects, or the error of a node without EDS
                r.wait('objects of ' + view, lambda: r.css('[data-test=od-body] tr'))
            assert not r.css(WRITE_CONTROLS), 'write controls for a read-only client in ' + view
        # A forged write from the page is refused, and nothing is set.
        before = r.server.ask('get CAN.MAGNET.SETPOINT')[0]
        for path, body in (('/api/values/CAN.MAGNET.SETPOINT', {'value': 1234}),
                           ('/api/request', {'line': 'set CAN.MAGNET.SETPOINT 1234'}),
                           ('/api/nodes/CAN.PUMP/nmt', {'command': 'stop'})):
            status, answer = r.driver.execute_async_script(
                'const done = arguments[2];'
                'fetch(arguments[0], {method: "POST", headers: {"Content-Type": "application/json"},'
                ' body: JSON.stringify(arguments[1])})'
                '.then(async (x) => done([x.status, await x.json()]), (e) => done([0, String(e)]));',
                path, body)
            assert status == 403 and answer == {'error': 'read-only client'}, (path, status, answer)
        assert r.server.ask('get CAN.MAGNET.SETPOINT')[0] == before
        pump = [n for n in r.server.api('/api/nodes')['nodes'] if n['name'] == 'CAN.PUMP'][0]
        assert pump['state'] != 'Stopped', 'a read-only client stopped CAN.PUMP'
        assert not r.js_errors(), r.js_errors()
    except Exception:
        print(open(r.server.log_path).read()[-4000:], file=sys.stderr)
        raise
    finally:
        r.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--server', required=True)
    p.add_argument('--console', required=True)
    p.add_argument('--artifacts', default=os.path.join('build', 'artifacts'))
    args = p.parse_args()
    args.artifacts = os.environ.get('CANBUS_ARTIFACTS') or args.artifacts
    args.tmp = tempfile.mkdtemp(prefix='console-test-')
    try:
        writer_run(args)
        read_only_run(args)
    finally:
        shutil.rmtree(args.tmp, ignore_errors=True)
    print('console browser test passed')


if __name__ == '__main__':
    main()
