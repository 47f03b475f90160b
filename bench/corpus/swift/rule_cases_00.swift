struct S {
  func f() {}
}
class C {}
enum E {
  case a
}
actor A {}

struct S {
  func f() {}
}

enum E {
  case a
}

extension S {
  func g() {}
  struct T {
    func h() {}
  }
}

struct T {
    func h() {}
  }

extension Outer.Inner {
  func i() {}
}

extension Array<Int> {
  func j() {}
}
extension Set where Element == Int {
  func k() {}
}
extension S<Int>.Inner {
  func m() {}
}

extension [Int] {
  func g() {}
}

extension {
  func g() {}
}

protocol P {
  func p()
  associatedtype Q
}

protocol P {
  func p()
  associatedtype Q
}

typealias TA = Int
func top() {}

class C {
  var h = { (x: Int) in x }
  var k: (Int) -> Int = { $0 }
  let v = 1
  var w: Int
}

class C {
  var h = { (x: Int) in x }
  var k: (Int) -> Int = { $0 }
  let v = 1
  var w: Int
}

let (a, b) = { }
let (c, d) = ({ }, 1)

import Foundation

struct Counter {
    var count = 0
    mutating func increment() { count += 1 }
}

